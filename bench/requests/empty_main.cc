// The floor of the start-up figure: a C++ program that does nothing, spawned and reaped the
// same way as the console.
int main() { return 0; }
