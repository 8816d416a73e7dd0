#!/usr/bin/python3
"""A pyftpdlib server on loopback for the update window's failure cases.

Like testlib/ftpserver.py, but the server may expect another password (so
the updater's fixed login is refused) or may die part way through sending a
file, dropping every connection at once. Prints "PORT <n>" when it listens
and serves until its standard input closes.
"""
import argparse
import logging
import os
import sys
import threading

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--password", default="qd4739")
    parser.add_argument("--log", default=None)
    parser.add_argument("--drop-file", default=None, help="name of the file whose transfer dies")
    parser.add_argument("--drop-after", type=int, default=0, help="bytes sent before dying")
    args = parser.parse_args()

    authorizer = DummyAuthorizer()
    authorizer.add_user("marvoline", args.password, args.root, perm="elradfmwMT")

    class DyingDTP(DTPHandler):
        ac_out_buffer_size = 4096

        def send(self, data):
            name = str(getattr(self.file_obj, "name", "") or "")
            if args.drop_file and name.endswith(args.drop_file):
                remaining = args.drop_after - self.tot_bytes_sent
                if remaining <= 0:
                    os._exit(0)
                data = data[:remaining]
            return super().send(data)

    class Handler(FTPHandler):
        use_sendfile = False

        def pre_process_command(self, line, cmd, arg):
            if args.log:
                with open(args.log, "a", encoding="latin-1") as log:
                    log.write(line + "\n")
            return super().pre_process_command(line, cmd, arg)

    Handler.authorizer = authorizer
    Handler.dtp_handler = DyingDTP
    Handler.banner = "pyftpdlib ready"
    logging.basicConfig(level=logging.CRITICAL)

    server = FTPServer(("127.0.0.1", 0), Handler)
    print("PORT %d" % server.socket.getsockname()[1], flush=True)

    def watch_stdin():
        sys.stdin.read()
        os._exit(0)

    threading.Thread(target=watch_stdin, daemon=True).start()
    server.serve_forever(timeout=0.2, blocking=True, handle_exit=True)


if __name__ == "__main__":
    main()
