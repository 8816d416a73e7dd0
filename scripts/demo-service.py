#!/usr/bin/python3
"""The demo's update service, on loopback only.

An FTP server (pyftpdlib) with the updater's fixed user, serving the given
folder on a free port, and an HTTP server answering "ok" at
/checkHasInternet.php (the updater's reachability probe). Writes
"FTP_PORT <n>" to the ready file once both listen, then serves until it
receives SIGTERM or SIGINT.

Run it with /usr/bin/python3, which has Debian's python3-pyftpdlib.
"""
import argparse
import http.server
import logging
import os
import signal
import sys
import threading
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler
from pyftpdlib.servers import FTPServer


class ProbePage(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        if self.path.split("?")[0] == "/checkHasInternet.php":
            body, status = b"ok", 200
        else:
            body, status = b"not found", 404
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format, *args):
        sys.stderr.write("http: %s\n" % (format % args))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True, help="folder the FTP user sees")
    parser.add_argument("--http", default="127.0.0.1:8021", help="host:port of the probe page")
    parser.add_argument("--ready-file", required=True)
    parser.add_argument("--log", default=None, help="file that receives every FTP command line")
    parser.add_argument("--rate", type=int, default=0,
                        help="bytes per second sent on data connections (0: unlimited)")
    args = parser.parse_args()

    authorizer = DummyAuthorizer()
    # The updater lists and downloads; updater-publish, with the same account,
    # also makes the folder, uploads, checks sizes, renames and removes.
    authorizer.add_user("marvoline", "qd4739", args.root, perm="elradfmw")

    class Handler(FTPHandler):
        def pre_process_command(self, line, cmd, arg):
            if args.log:
                shown = "PASS ******" if cmd == "PASS" else line
                with open(args.log, "a", encoding="latin-1") as log:
                    log.write(shown + "\n")
            return super().pre_process_command(line, cmd, arg)

    Handler.authorizer = authorizer
    Handler.banner = "Updater demo service ready"
    if args.rate:
        # Slow enough for a person to watch the download's progress, and
        # steady: small pieces, each followed by its share of the time.
        class SteadyDTP(DTPHandler):
            ac_out_buffer_size = 16384

            def send(self, data):
                sent = super().send(data)
                time.sleep(max(sent, 0) / args.rate)
                return sent

        Handler.dtp_handler = SteadyDTP
        Handler.use_sendfile = False
    logging.basicConfig(level=logging.WARNING)

    ftp = FTPServer(("127.0.0.1", 0), Handler)
    ftp_port = ftp.socket.getsockname()[1]

    http_host, _, http_port = args.http.rpartition(":")
    web = None
    try:
        web = http.server.ThreadingHTTPServer((http_host, int(http_port)), ProbePage)
    except OSError as error:
        # The updater does not act on the probe's answer; go on without the page.
        sys.stderr.write("probe page not served on %s: %s\n" % (args.http, error))

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())

    threading.Thread(target=ftp.serve_forever, kwargs={"timeout": 0.2, "handle_exit": False},
                     daemon=True).start()
    if web:
        threading.Thread(target=web.serve_forever, kwargs={"poll_interval": 0.2},
                         daemon=True).start()

    with open(args.ready_file + ".tmp", "w") as ready:
        ready.write("FTP_PORT %d\nHTTP %s\n" % (ftp_port, args.http if web else "none"))
    os.replace(args.ready_file + ".tmp", args.ready_file)

    stop.wait()
    if web:
        web.shutdown()
    ftp.close_all()


if __name__ == "__main__":
    main()
