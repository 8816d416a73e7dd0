#!/usr/bin/python3
"""A pyftpdlib server on loopback for the tests.

Listens on a free port, prints "PORT <n>" once it accepts connections and
serves until its standard input closes (the test process ended). A line
"ROOT <folder>" on its standard input serves another folder from then on;
a line "TIMEOUT" times every session out at once, as an idle timeout would.

For failure cases the server may expect another password (so the updater's
fixed login is refused), may die part way through sending a named file,
dropping every connection at once, may cut off the one session that is
uploading a named file, serving on, may cut off the sessions downloading a
named file at given byte counts, serving on, may refuse REST, may send
slowly, or may refuse every rename that would give a file a named name.
"""
import argparse
import logging
import os
import sys
import threading

# Plain FTP only: without this pyftpdlib loads pyOpenSSL for a TLS handler
# no test uses, which takes longer than the rest of the server's start.
sys.modules["OpenSSL"] = None

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--user", default="marvoline")
    parser.add_argument("--password", default="qd4739")
    parser.add_argument("--log", default=None, help="file that receives every command line")
    parser.add_argument("--drop-file", default=None, help="name of the file whose transfer dies")
    parser.add_argument("--drop-after", type=int, default=0, help="bytes sent before dying")
    parser.add_argument("--rate", type=int, default=0, help="bytes per second sent (0: unlimited)")
    parser.add_argument("--cut-file", default=None,
                        help="name of the uploaded file whose session is cut off")
    parser.add_argument("--cut-after", type=int, default=0, help="bytes received before cutting")
    parser.add_argument("--cut-retr", default=None,
                        help="name of the downloaded file whose sessions are cut off")
    parser.add_argument("--cut-points", default="",
                        help="bytes of that file sent, over all sessions, at which to cut")
    parser.add_argument("--no-rest", action="store_true", help="refuse REST")
    parser.add_argument("--no-size", action="store_true", help="refuse SIZE")
    parser.add_argument("--refuse-rename-to", default=None,
                        help="file name that no rename may give a file")
    args = parser.parse_args()

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm="elradfmwMT")

    cut_points = [int(p) for p in args.cut_points.split(",") if p]
    retr_sent = [0]

    class DyingDTP(DTPHandler):
        ac_out_buffer_size = 4096

        def send(self, data):
            name = str(getattr(self.file_obj, "name", "") or "")
            if args.cut_retr and name.endswith(args.cut_retr):
                if cut_points and retr_sent[0] >= cut_points[0]:
                    # A network that breaks: both connections go, the server serves on.
                    cut_points.pop(0)
                    self.cmd_channel.close()
                    self.close()
                    return 0
                if cut_points:
                    data = data[:cut_points[0] - retr_sent[0]]
                sent = super().send(data)
                retr_sent[0] += sent or 0
                return sent
            if args.drop_file and name.endswith(args.drop_file):
                remaining = args.drop_after - self.tot_bytes_sent
                if remaining <= 0:
                    os._exit(0)
                data = data[:remaining]
            return super().send(data)

        def handle_read(self):
            super().handle_read()
            name = str(getattr(self.file_obj, "name", "") or "")
            if (args.cut_file and name.endswith(args.cut_file)
                    and self.tot_bytes_received >= args.cut_after):
                # The session ends as a broken network would end it; the
                # server goes on serving.
                self.cmd_channel.close()

        # The base class binds this to its own handle_read.
        handle_read_event = handle_read

    class Handler(FTPHandler):
        def on_incomplete_file_received(self, file):
            pass

        def ftp_REST(self, line):
            if args.no_rest:
                self.respond("502 Command not implemented.")
                return
            return super().ftp_REST(line)

        def ftp_SIZE(self, path):
            if args.no_size:
                self.respond("502 Command not implemented.")
                return None
            return super().ftp_SIZE(path)

        def ftp_RNTO(self, path):
            if args.refuse_rename_to and os.path.basename(path) == args.refuse_rename_to:
                self._rnfr = None
                self.respond("550 Renaming refused.")
                return None
            return super().ftp_RNTO(path)

        def pre_process_command(self, line, cmd, arg):
            if args.log:
                with open(args.log, "a", encoding="latin-1") as log:
                    log.write(line + "\n")
            return super().pre_process_command(line, cmd, arg)

    Handler.authorizer = authorizer
    Handler.banner = "pyftpdlib ready"
    # pyftpdlib answers a wrong password only after three seconds, a pause
    # no test looks at.
    Handler.auth_failed_timeout = 0
    if args.rate:
        ThrottledDTPHandler.write_limit = args.rate
        Handler.use_sendfile = False
        Handler.dtp_handler = ThrottledDTPHandler
    if args.drop_file or args.cut_file or args.cut_retr:
        # sendfile() would bypass DyingDTP.send.
        Handler.use_sendfile = False
        Handler.dtp_handler = DyingDTP
    logging.basicConfig(level=logging.CRITICAL)

    server = FTPServer((args.host, 0), Handler)
    server.max_cons = 64
    print("PORT %d" % server.socket.getsockname()[1], flush=True)

    # Asked for from the input's thread, done in the server's loop, which
    # alone touches the sessions.
    time_out = threading.Event()

    def time_out_if_asked():
        if not time_out.is_set():
            return
        time_out.clear()
        for handler in list(server.ioloop.socket_map.values()):
            if isinstance(handler, FTPHandler):
                # "421 Control connection timed out." and the session closed.
                handler.handle_timeout()
        print("TIMEOUT", flush=True)

    server.ioloop.call_every(0.005, time_out_if_asked)

    def watch_stdin():
        # "ROOT <folder>" lines: the sessions that log in from then on get
        # that folder, the log starts afresh, and "ROOT" acknowledges it
        # (one server for many test rows, each with a folder of its own).
        while True:
            line = sys.stdin.buffer.readline()
            if not line:
                break
            if line.startswith(b"ROOT "):
                root = os.path.realpath(os.fsdecode(line[5:].rstrip(b"\n")))
                authorizer.user_table[args.user]["home"] = root
                if args.log:
                    open(args.log, "w").close()
                print("ROOT", flush=True)
            elif line == b"TIMEOUT\n":
                time_out.set()
        server.close_all()

    threading.Thread(target=watch_stdin, daemon=True).start()
    # The loop notices the closed stdin only between polls: a short poll
    # lets every test's stop() return at once.
    try:
        server.serve_forever(timeout=0.02, blocking=True, handle_exit=True)
    except Exception:
        pass


if __name__ == "__main__":
    main()
