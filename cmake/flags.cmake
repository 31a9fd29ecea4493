# Build settings each folder applies to its own targets.

# The library's and the console's own code uses neither exceptions nor run-time type
# information: built without them, and linked only against what it uses, the shared library
# and the console need no C++ runtime at all (no libstdc++, libm or libgcc_s to load and
# relocate at start-up). Tests, benchmarks and tools keep both.
function(brennic_lean target)
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti)
endfunction()
