#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Each seed is a small input in the layout its harness reads (see fuzz/harness.h). Run it
from anywhere; it replaces the seeds it writes and leaves other files alone.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# Response reader: chunk selector, flags, seed, id bits, payload.
ENCIPHER, CLOSED, RESET = 0x01, 0x02, 0x04


def records(count):
    return (count - 1) << 3


def callback_on(index):
    return index << 6


def reader(name, payload, chunk=0, flags=ENCIPHER, seed=42, ids=0):
    write("fuzz_reader", name, bytes([chunk, flags, seed & 0xFF, ids]) + payload)


reader("final_ok_bytewise", b"-1 +OK smith\r\n")
reader("search_lines", b"-1 +DATA one\r\n-1 +DATA two\r\n-1 +DATA three\r\n-1 +OK done\r\n",
       chunk=6, flags=ENCIPHER | callback_on(0))
reader("two_finals_one_receive", b"5 +OK b\r\n-1 -ERR a\r\n", chunk=199,
       flags=ENCIPHER | records(2) | callback_on(3), ids=0 | (2 << 2))
reader("raw_then_reset", b"\x00\xff\r\n-1 +OK\r\n", chunk=3, flags=RESET)
reader("lone_lf_first", b"\n-1 +OK\r\n", flags=ENCIPHER | CLOSED)
reader("crlf_only_id0", b"\r\n", flags=ENCIPHER, ids=1)
reader("too_long_line", b"A" * 20000 + b"\r\n-1 +OK x\r\n", chunk=255)
reader("unknown_id_first", b"7 +OK\r\n-1 +OK y\r\n", chunk=10)
reader("lf_without_cr", b"5 +OK\n", ids=2)
reader("zero_byte_in_line", b"-1 +OK a\x00b\r\n", chunk=4)
reader("saturated_id", b"99999999999 +OK big\r\n", ids=3)
reader("partial_then_closed", b"-1 +DA", flags=ENCIPHER | CLOSED | records(3),
       ids=0 | (1 << 2) | (2 << 4))
reader("unhosted_record_reset", b"0 +DATA x\r\n", flags=ENCIPHER | RESET | records(2) | 0x20,
       ids=1 | (0 << 2))
reader("negative_seed", b"-1 +OKAY\r\n-1 +data\r\n", seed=-7, flags=ENCIPHER | records(2))

# Handshake reply: length of the one receive (255: all), the bytes.
def handshake(name, reply, length=255):
    write("fuzz_handshake", name, bytes([length]) + reply)


handshake("accepted", b"1 +ENCRYPT 42\r\n")
handshake("lower_case_word", b"1 +encrypt 42\r\n")
handshake("tabs", b"7\t+ENCRYPT\t-5\r\n")
handshake("one_byte", b"1")
handshake("number_then_letters", b"1 +ENCRYPT 12abc\r\n")
handshake("no_number", b"1 +ENCRYPT\r\n")
handshake("split_after_6", b"1 +ENCRYPT 42\r\n", length=6)
handshake("long_reply", b"1 +ENCRYPT " + b"9" * 240 + b"\r\n")
handshake("nul_inside", b"1 +ENC\x00RYPT 3\r\n")
handshake("huge_number", b"x +ENCRYPT -99999999999\r\n")

# Host lists: flags, list length / 5, list, reply length, reply, host text NUL bind text.
NO_SOCKET, REFUSED, NOT_SENT, REPLY = 0, 1, 2, 3
RESOLVE, SECRET, TWICE = 0x04, 0x08, 0x10


def hosts(name, flags, host_list, reply=b"", direct=b""):
    length = (len(host_list) + 4) // 5
    padded = host_list + b"\x00" * (length * 5 - len(host_list))
    write("fuzz_hosts", name, bytes([flags, length]) + padded + bytes([len(reply)]) + reply + direct)


hosts("three_names", REFUSED | RESOLVE, b"alpha, beta,,gamma", direct=b"127.0.0.1:6001")
hosts("seven_hosts", NO_SOCKET, b"a,b,c,d,e,f,g", direct=b"a")
hosts("only_delimiters", REFUSED, b" ,, ")
hosts("long_entry", REFUSED, b"h" * 250 + b":70000", direct=b"1.2.3.4:65537")
hosts("long_list", REFUSED | RESOLVE, (b"name.example:601," * 75)[:1195])
hosts("handshake_accepted", REPLY | SECRET | TWICE, b"127.0.0.1:601,Host.Example:99999",
      reply=b"1 +ENCRYPT 42\r\n", direct=b"10.0.0.7")
hosts("handshake_refused", REPLY | RESOLVE, b"server", reply=b"1 -ERR no\r\n")
hosts("send_fails", NOT_SENT | RESOLVE, b"x:1 y:2", direct=b"EXAMPLE.com:-5\x0010.0.0.1")
hosts("bind_by_name", NOT_SENT | RESOLVE, b"", direct=b"Server:  +22\x00localhost")

# Header tokens: capacity, delimiter count, delimiters, line.
def tokens(name, capacity, delimiters, line):
    write("fuzz_header_tokens", name, bytes([capacity, len(delimiters)]) + delimiters + line)


tokens("header", 20, b" :", b"Content-Type: text/html; charset=utf-8")
tokens("quoted", 20, b" ", b'a "b c" d "e\\"f" g')
tokens("capacity_6", 6, b" ", b"one two three four five six")
tokens("capacity_2", 2, b",", b"x,y,z")
tokens("capacity_0", 0, b" ", b"a b")
tokens("open_quote", 12, b" ", b'k "never closed')
tokens("no_delimiters", 9, b"", b"whole line")

# Secret file: the file's content.
write("fuzz_secret_file", "crlf", b"abc\r\n")
write("fuzz_secret_file", "empty_first_line", b"\r\nlater line\n")
write("fuzz_secret_file", "long_line", b"s" * 500 + b"\n")
write("fuzz_secret_file", "cr_inside", b"mid\rdle\n")
write("fuzz_secret_file", "empty", b"")
write("fuzz_secret_file", "nul_inside", b"a\x00b\n")

# Shell: input lines, NUL, answers (answer byte, then texts as length byte + bytes).
def text(t):
    return bytes([len(t)]) + t


OK_TEXT = 0x09  # returns 1, a reply text follows


def shell(name, lines, answers=b""):
    write("fuzz_shell", name, lines + b"\x00" + answers)


shell("check_match", b"check smith pw\n", bytes([OK_TEXT]) + text(b"+OK smith"))
shell("check_other_user_and_dead", b"CHECK smith pw\nlookup jones\n",
      bytes([OK_TEXT]) + text(b"+OK jones") + bytes([OK_TEXT]) +
      text(b"-ERR brenniclib failed while talking to brennic server"))
shell("local_commands", b"help\nversion\nFOO\n\n   \ncheck\tsmith\nquit\ncheck a b\n")
shell("search_three_lines", b"SEARCH Smith\r\n",
      bytes([OK_TEXT | 0xC0]) + text(b"+DATA a") + text(b"+DATA b\rc") + text(b"+OK") + text(b"+OK"))
shell("refusal_missing_text_no_record", b"set smith pw a=1 b=2\nmod x y  z\ndel smith\nlookup q\n",
      bytes([0x00, 0x01, 0x31, 0x05]))
shell("long_reply_text", b"check smith pw\n", bytes([OK_TEXT, 250]) + b"+OK smith " + b"x" * 6)
shell("no_space_reply", b"lookup smith\n", bytes([OK_TEXT]) + text(b"+OK"))
