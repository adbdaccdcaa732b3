#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into tests/fuzz/corpus/<target>/.

Each seed is small and spelt out here, so the corpus can be made again and reviewed:
    tests/fuzz/make_corpus.py
"""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as out:
        out.write(data)


# ---- log: lines of every connection type, line ends of every kind, a NUL, odd users.
def line(ip, user, second, request, kind, tail=" 200 512"):
    return f'{ip} - {user} [07/Dec/2026:00:00:{second:02d} +0800] "{request}" "{kind}"{tail}'.encode()


def log_seeds():
    mixed = [
        line("10.0.0.7", "alice", 0, "GET http://news.example/a.html HTTP/1.1", "HTTP"),
        line("10.0.0.7", "alice", 1, "CONNECT bank.example:443 HTTP/1.0", "HTTPS"),
        line("10.0.0.8", "bob", 2, "RETR ftp://anonymous@files.example", "FTP"),
        line("10.0.0.8", "bob", 3, "RETR Host:mail.example-User:bob", "POP3"),
        line("10.0.0.9", "carol", 4, "SEND Host:smtp.example-User:carol", "SMTP"),
        line("10.0.0.9", "carol", 5, "CONNECT imap.example:993 HTTP/1.0", "MAP"),
        line("10.0.0.7", "alice", 6, "CONNECT socks.example:1080 HTTP/1.0", "SOCKS5"),
        line("10.0.0.7", "alice", 7, "GET http://news.example/pack.zip HTTP/1.1", "HTTP"),
        line("10.0.0.8", "bob", 8, "GET http://news.example/doc.pdf HTTP/1.1", "HTTP"),
    ]
    write("log", "every-kind.txt", b"\r\n".join(mixed) + b"\r\n")
    write("log", "lone-ends.txt", mixed[0] + b"\n" + mixed[1] + b"\r" + mixed[2] + b"\n\n" + mixed[3])
    write("log", "nul-inside.txt", mixed[0] + b"\r\n" + mixed[1] + b"\r\n\0" + mixed[2] + b"\r\n")
    # Users and hosts that are parts of others, a user longer than an entry keeps, and a host
    # that also stands in another user's URL.
    nested = [
        line("10.0.0.1", "al", 0, "GET http://a.example/x HTTP/1.1", "HTTP"),
        line("10.0.0.1", "alice", 1, "GET http://a.example.org/al HTTP/1.1", "HTTP"),
        line("10.0.0.1", "a" * 40, 2, "GET http://" + "h" * 70 + "/ HTTP/1.1", "HTTP"),
        line("10.0.0.1", "bob", 3, "GET http://x.example/?u=alice&h=a.example HTTP/1.1", "HTTP"),
        line("10.0.0.1", "al", 4, "GET http://a.example/x HTTP/1.1", "http"),
    ]
    write("log", "nested-names.txt", b"\r\n".join(nested) + b"\r\n")
    # For the rewrite of a log file (an input of a multiple of eight bytes): lone line ends, a
    # last line still without its line end; and a last line without one before a NUL.
    def padded(data):
        return data + b" " * (-len(data) % 8)
    write("log", "rewrite-carry.txt",
          mixed[0] + b"\n" + mixed[2] + b"\r" + mixed[6] + b"\r\n" + padded(mixed[1]))
    write("log", "rewrite-nul.txt",
          padded(mixed[2] + b"\r\n" + mixed[0] + b"\r\n" + mixed[3] + b"\0" + mixed[4]))
    write("log", "broken-lines.txt",
          b'no fields at all\r\n - [\r\nx - y [ "HTTP"\r\n - user [ "CONNECT  "HTTPS"\r\n'
          b'1 - u [d] "GET http:// HTTP/1.1" "HTTP"\r\n1 - u [d] "RETR ftp://@" "FTP"')


# ---- store: group records, a 0xFF 0x00 0xFF separator, filter records.
def group(name, colour, length=None):
    data = bytes([len(name) if length is None else length]) + name + bytes(25 - len(name))
    return data + b"\0\0" + struct.pack("<I", colour)


def filt(group_name, text, text_length=None):
    data = bytes([len(group_name)]) + group_name + bytes(25 - len(group_name))
    return data + bytes([len(text) if text_length is None else text_length]) + text + bytes(30 - len(text))


SEPARATOR = b"\xff\x00\xff"


def store_seeds():
    write("store", "two-groups.bin",
          group(b"Work", 0x000080) + group(b"Social", 0xFF0000) + SEPARATOR +
          filt(b"Work", b"mail") + filt(b"Social", b"facebook") + filt(b"Work", b"ma"))
    write("store", "shared-prefixes.bin",
          group(b"g1", 1) + group(b"g2", 2) + group(b"g1", 3) + SEPARATOR +
          filt(b"g2", b"www.site29") + filt(b"g1", b"www.site2") + filt(b"g2", b"w") +
          filt(b"nogroup", b"site"))
    # Length bytes past their fields, a partial record at the end of each file.
    write("store", "bad-lengths.bin",
          group(b"n" * 25, 5, length=200) + b"\x03ab" + SEPARATOR +
          filt(b"g", b"t" * 30, text_length=99) + filt(b"g", b"", text_length=0) + b"\x01g")
    write("store", "groups-only.bin", group(b"Only", 0x00FFFF))
    write("store", "filters-only.bin", SEPARATOR + filt(b"G", b"x") + filt(b"G", b"x"))


# ---- config: the Logger section in the ways a hand-edited file may spell it.
def config_seeds():
    write("config", "logger.ini",
          b"[Logger]\r\nWidth=708\r\nHeight=500\r\nSeparator=200\r\nLogDir=/var/log/proxy\r\n"
          b"CodePage=1251\r\n")
    write("config", "spelling.ini",
          b"\xef\xbb\xbf; comment\n[ logger ]\nwidth = 0x2C4 \nHEIGHT=$1F4\nSeparator=\"-12\"\n"
          b"[Logger]\nWidth=1\n[other]\nLogDir='/tmp/x'\n")
    write("config", "odd-lines.ini",
          b"Width=3\r[Logger\r\n[Logger]x\r\n=empty\r\nNoValue\r\nLogDir=a\0b\r\n"
          b"CodePage=65001\r\nWidth=99999999999\r\n")
    write("config", "code-page.ini", b"[Logger]\r\nCodePage=866\r\nLogDir=/\xa0\xe0\xef/\r\n")


# ---- png: every colour type and a few depths, with tRNS, gAMA and interlacing.
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def png(width, height, depth, colour, rows, extra=b"", interlace=0):
    header = struct.pack(">IIBBBBB", width, height, depth, colour, 0, 0, interlace)
    raw = b"".join(b"\0" + row for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + extra +
            chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


def png_seeds():
    write("png", "grey-1bit.png", png(8, 2, 1, 0, [b"\xa5", b"\x5a"]))
    write("png", "grey-2bit-trns.png",
          png(4, 1, 2, 0, [b"\x1b"], extra=chunk(b"tRNS", struct.pack(">H", 2))))
    write("png", "rgb-trns-gamma.png",
          png(2, 1, 8, 2, [b"\x01\x02\x03\xff\xff\xff"],
              extra=chunk(b"gAMA", struct.pack(">I", 45455)) +
              chunk(b"tRNS", struct.pack(">HHH", 1, 2, 3))))
    write("png", "palette-trns.png",
          png(3, 1, 4, 3, [b"\x01\x20"],
              extra=chunk(b"PLTE", b"\x00\x00\x00\xff\x00\x00\x00\xff\x00") +
              chunk(b"tRNS", b"\x00\x80")))
    write("png", "rgba.png", png(2, 1, 8, 6, [b"\x09\x08\x07\x06\xff\xff\xff\x00"]))
    write("png", "grey-alpha-16bit.png", png(1, 1, 16, 4, [b"\x40\x40\xff\xff"]))
    write("png", "interlaced.png", png(1, 1, 8, 2, [b"\x10\x20\x30"], interlace=1))
    # A transparent colour wider than 8 bits: its low bits (black) count, white stays opaque.
    write("png", "rgb-trns-too-wide.png",
          png(2, 1, 8, 2, [b"\xff\xff\xff\x00\x00\x00"],
              extra=chunk(b"tRNS", struct.pack(">HHH", 256, 256, 256))))


if __name__ == "__main__":
    log_seeds()
    store_seeds()
    config_seeds()
    png_seeds()
