#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets from real server replies.

Run under the local FTP servers, from the source root:
    scripts/servers/with-servers.sh python3 fuzz/capture_seeds.py

For each server of servers.env it logs in on 127.0.0.1, runs a short session (system, features, folders,
an upload, listings, a download, refused commands) and keeps every byte the server sent: whole replies,
the control stream of the session, and the listing data. They go to fuzz/corpus/<target>/<server>-<what>.
A few replies of server types we have no server for (the tests' tables) are added by hand at the end.
"""
import os
import re
import socket
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CORPUS = os.path.join(ROOT, "fuzz", "corpus")
TIMEOUT = 5.0


class Session:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
        self.pending = b""
        self.stream = b""  # every byte of the control connection, in order

    def line(self):
        while b"\n" not in self.pending:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise EOFError("server closed")
            self.pending += chunk
        end = self.pending.index(b"\n") + 1
        line, self.pending = self.pending[:end], self.pending[end:]
        self.stream += line
        return line

    def reply(self):
        """A whole reply, continuation lines included ("220-..." up to "220 ...")."""
        first = self.line()
        text = first
        if re.match(rb"^\d{3}-", first):
            code = first[:3]
            while True:
                line = self.line()
                text += line
                if line.startswith(code + b" "):
                    break
        return text

    def cmd(self, command):
        self.sock.sendall(command.encode() + b"\r\n")
        return self.reply()

    def data_port(self, pasv_reply):
        nums = re.search(rb"\((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)", pasv_reply).groups()
        return int(nums[4]) * 256 + int(nums[5])


def capture(name, port, user, password):
    s = Session(port)
    r = {}
    r["greeting"] = s.reply()
    r["user"] = s.cmd("USER " + user)
    r["pass"] = s.cmd("PASS " + password)
    r["syst"] = s.cmd("SYST")
    r["feat"] = s.cmd("FEAT")
    r["help"] = s.cmd("HELP")
    r["pwd-root"] = s.cmd("PWD")
    r["cwd"] = s.cmd("CWD memoire/quil")
    r["pwd"] = s.cmd("PWD")
    r["mkd"] = s.cmd("MKD sous dossier")
    r["type-i"] = s.cmd("TYPE I")
    r["type-l8"] = s.cmd("TYPE L 8")
    # Upload, so that the listing and the download have something to show.
    body = bytes(range(256)) * 20
    for remote in ("plan.pdf", "nom avec espaces.txt"):
        pasv = s.cmd("PASV")
        r["pasv"] = pasv
        data = socket.create_connection(("127.0.0.1", s.data_port(pasv)), timeout=TIMEOUT)
        r["stor-150"] = s.cmd("STOR " + remote)
        data.sendall(body)
        data.close()
        r["stor-226"] = s.reply()
    listings = {}
    for verb in ("LIST", "NLST"):
        pasv = s.cmd("PASV")
        data = socket.create_connection(("127.0.0.1", s.data_port(pasv)), timeout=TIMEOUT)
        r[verb.lower() + "-150"] = s.cmd(verb)
        got = b""
        while True:
            chunk = data.recv(65536)
            if not chunk:
                break
            got += chunk
        data.close()
        listings[verb] = got
        r[verb.lower() + "-226"] = s.reply()
    pasv = s.cmd("PASV")
    data = socket.create_connection(("127.0.0.1", s.data_port(pasv)), timeout=TIMEOUT)
    r["retr-150"] = s.cmd("RETR plan.pdf")
    while data.recv(65536):
        pass
    data.close()
    r["retr-226"] = s.reply()
    r["size"] = s.cmd("SIZE plan.pdf")
    r["retr-missing"] = s.cmd("RETR absent.txt")
    r["cwd-missing"] = s.cmd("CWD absent")
    r["unknown"] = s.cmd("XYZZY")
    r["rnfr"] = s.cmd("RNFR plan.pdf")
    r["rnto"] = s.cmd("RNTO plan2.pdf")
    r["dele"] = s.cmd("DELE plan2.pdf")
    r["rmd"] = s.cmd("RMD sous dossier")
    r["quit"] = s.cmd("QUIT")
    s.sock.close()
    return r, listings, s.stream


def write(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# The parsers in the order of the first byte of the listing_parsers and listing_dialogue targets.
PARSERS = ["unix", "netware", "dos", "vms", "mvs", "vm", "macos", "as400", "other", "words"]


def main():
    user, password = os.environ["FTP_USER"], os.environ["FTP_PASS"]
    for name in os.environ["FTP_SERVERS"].split(","):
        port = int(os.environ["FTP_%s_PORT" % name.upper()])
        replies, listings, stream = capture(name, port, user, password)
        write("reply_reader", name + "-session", stream)
        for what in ("greeting", "feat", "help"):
            write("reply_reader", "%s-%s" % (name, what), replies[what])
        for what, text in replies.items():
            write("reply_code", "%s-%s" % (name, what), text)
        for what in ("pwd", "pwd-root", "mkd", "cwd-missing"):
            write("current_dir", "%s-%s" % (name, what), replies[what])
        write("pasv_reply", name + "-pasv", replies["pasv"])
        for what in ("retr-150", "retr-226", "stor-150", "list-150", "size"):
            write("bytes_total", "%s-%s" % (name, what), replies[what])
        write("nth_word", name + "-pasv-5", b",\x05" + replies["pasv"])
        write("nth_word", name + "-pasv-6", b",\x06" + replies["pasv"])
        write("nth_word", name + "-pwd", b'"\x02' + replies["pwd"])
        write("nth_word", name + "-greeting", b" \x01" + replies["greeting"])
        write("syst_reply", name + "-syst", replies["syst"])
        write("listing_parsers", name + "-list-unix", bytes([0]) + listings["LIST"])
        write("listing_dialogue", name + "-list-unix", bytes([0]) + listings["LIST"])
        write("listing_parsers", name + "-list-words", bytes([9]) + listings["LIST"])
        write("listing_parsers", name + "-nlst-unix", bytes([0]) + listings["NLST"])

    # Server types we have no local server for: replies and lines of the tests' tables.
    for i, text in enumerate([b"215 VMS system\r\n", b"215 NETWARE Type: L8\r\n", b"215 MVS is the operating system\r\n",
                              b"215 VM/CMS\r\n", b"215 MACOS Peter's Server\r\n", b"215 OS/400 is the remote system\r\n",
                              b"215 Windows_NT\r\n", b"215 DOS\r\n"]):
        write("syst_reply", "table-%d" % i, text)
    lines = {
        "dos": b"02-23-00  03:09PM       <DIR>          memoire\r\n02-23-00  03:09PM              4096 plan.pdf\r\n",
        "vms": b"PLAN.PDF;1   8/16   23-FEB-2000 15:09:55  [USER,OWNER]  (RWED,RWED,RE,)\r\n",
        "as400": b"QSYS 77824 02/23/00 15:09:55 *DIR QOpenSys/\r\nOWNER 4096 01/15/24 10:30:00 LIB.FILE *MEM\r\n",
        "netware": b"d [RWCEAFMS] owner 512 Feb 23 15:09 memoire\r\n- [RWCEAFMS] owner 4096 Feb 23 15:09 plan.pdf\r\n",
    }
    for parser, text in lines.items():
        write("listing_parsers", "table-" + parser, bytes([PARSERS.index(parser)]) + text)
        write("listing_dialogue", "table-" + parser, bytes([PARSERS.index(parser)]) + text)
    print("seeds written to", CORPUS)


if __name__ == "__main__":
    sys.exit(main())
