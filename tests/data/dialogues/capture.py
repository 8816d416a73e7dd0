#!/usr/bin/python3
"""Records what an FTP server writes on the control connection over one
session of the updater's kind, byte for byte, as seeds for the reply fuzz
target (scripts/fuzz).

    /usr/bin/python3 tests/data/dialogues/capture.py PORT OUTPUT

The server runs on 127.0.0.1:PORT with the updater's user (for example
tests/testlib/ftpserver.py, or "bench_download serve DIR" for vsftpd). Each
command is sent once the previous reply is complete; transfers are not run,
so the data connection is never opened.
"""
import re
import socket
import sys

USER, PASSWORD = "marvoline", "qd4739"
COMMANDS = ["USER " + USER, "PASS " + PASSWORD, "SYST", "FEAT", "PWD", "TYPE I",
            "SIZE no-such-file", "CWD no-such-folder", "MKD", "HELP", "STAT",
            "NOOP", "EPSV", "PASV", "ABOR", "QUIT"]


def read_reply(sock, received):
    """Reads until a complete (possibly multi-line) reply has arrived."""
    data = b""
    while True:
        chunk = sock.recv(65536)
        if not chunk:
            break
        data += chunk
        lines = data.split(b"\r\n")
        first = lines[0]
        if re.match(rb"^\d{3} ", first) and data.endswith(b"\r\n"):
            break
        if re.match(rb"^\d{3}-", first):
            end = first[:3] + b" "
            if any(line.startswith(end) for line in lines[1:]) and data.endswith(b"\r\n"):
                break
    received.append(data)


def main():
    port, output = int(sys.argv[1]), sys.argv[2]
    received = []
    with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
        read_reply(sock, received)
        for command in COMMANDS:
            sock.sendall(command.encode("latin-1") + b"\r\n")
            read_reply(sock, received)
    with open(output, "wb") as f:
        f.write(b"".join(received))


if __name__ == "__main__":
    main()
