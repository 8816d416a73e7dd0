#!/usr/bin/python3
"""Regenerates the captured directory listings used by tst_parsedir.

Lays out a folder with one entry of each interesting kind, serves it with
Debian's pyftpdlib (tests/testlib/ftpserver.py) on loopback, fetches the raw
LIST reply once with ftplib, does the same with vsftpd (anonymous and
read-only; only when run as root, which vsftpd needs), and also records what
GNU "ls -l" prints for the same folder (the layout many Unix FTP servers
copy, with space-padded days).
The facts about the files on disk go to files.tsv, which the test compares
every parsed line against.

Run with the system interpreter, which has pyftpdlib:
    /usr/bin/python3 tests/data/listings/capture.py
Times are written in UTC; the capture time is kept so that the test can infer
the year of entries listed with a time of day exactly as it was on that day.
"""
import calendar
import ftplib
import grp
import os
import pwd
import socket
import stat
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(HERE, "..", "..", "testlib", "ftpserver.py")
USER, PASSWORD = "marvoline", "qd4739"
DAY = 86400


def utc(y, mo, d, h=0, mi=0):
    return calendar.timegm((y, mo, d, h, mi, 0))


def lay_out(root, now):
    """Creates the entries; returns {name: mtime} for what must be dated."""
    # Recent entries sit a whole number of minutes in the past so that the
    # minute shown in the listing is exact.
    recent = now - now % 60
    times = {}

    def file(name, mode, size, mtime, content=b""):
        path = os.path.join(root, name)
        with open(path, "wb") as f:
            f.write(content)
        if size > len(content):
            os.truncate(path, size)  # sparse: no disk space used
        os.chmod(path, mode)
        os.utime(path, (mtime, mtime))
        times[name] = mtime

    file("app.zip", 0o644, 1048576, utc(2014, 3, 5, 12, 0))
    file("old.txt", 0o444, 12, utc(2009, 12, 31, 23, 59), b"old entry.\n")
    file("version.ver", 0o664, 6, recent - 10 * DAY, b"1.2.3\n")
    file("release notes.txt", 0o600, 20, recent - 3 * 3600, b"spaces in the name.\n")
    file("big.iso", 0o644, 5 * 1024 ** 3 + 123, recent - 2 * DAY)
    file("run.sh", 0o755, 10, recent - 40 * DAY, b"#!/bin/sh\n")
    file("suid-tool", 0o4755, 0, utc(2020, 1, 7, 8, 5))
    os.chmod(os.path.join(root, "suid-tool"), 0o4755)  # chmod after utime keeps the bit

    for name, mode, mtime in (("Bin", 0o755, recent - 5 * DAY), ("tmp", 0o1777, utc(2019, 7, 4))):
        path = os.path.join(root, name)
        os.mkdir(path)
        os.chmod(path, mode)
        os.utime(path, (mtime, mtime))
        times[name] = mtime

    os.symlink("app.zip", os.path.join(root, "latest"))
    os.utime(os.path.join(root, "latest"), (utc(2013, 1, 7), utc(2013, 1, 7)),
             follow_symlinks=False)
    times["latest"] = utc(2013, 1, 7)

    os.mkfifo(os.path.join(root, "pipe"))
    os.utime(os.path.join(root, "pipe"), (recent - DAY, recent - DAY))
    times["pipe"] = recent - DAY
    return times


def kind(st):
    if stat.S_ISLNK(st.st_mode):
        return "link"
    if stat.S_ISDIR(st.st_mode):
        return "dir"
    if stat.S_ISREG(st.st_mode):
        return "file"
    return "other"


def raw_list(port, user, password):
    ftp = ftplib.FTP()
    for attempt in range(50):  # until the server listens
        try:
            ftp.connect("127.0.0.1", port, timeout=10)
            break
        except ConnectionRefusedError:
            time.sleep(0.1)
    ftp.login(user, password)
    raw = bytearray()
    ftp.voidcmd("TYPE A")
    ftp.retrbinary("LIST", raw.extend)  # raw bytes, CR LF kept
    ftp.quit()
    return bytes(raw)


def fetch_pyftpdlib(root):
    server = subprocess.Popen([sys.executable, SERVER, "--root", root],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        port = int(server.stdout.readline().split()[1])
        return raw_list(port, USER, PASSWORD)
    finally:
        server.stdin.close()
        server.wait(timeout=10)


def fetch_vsftpd(root):
    if os.geteuid() != 0 or not os.path.exists("/usr/sbin/vsftpd"):
        return None
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    with tempfile.TemporaryDirectory() as conf_dir:
        empty = os.path.join(conf_dir, "empty")
        os.mkdir(empty)
        conf = os.path.join(conf_dir, "vsftpd.conf")
        with open(conf, "w") as f:
            f.write("background=NO\nlisten=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\n"
                    "listen_port=%d\nanonymous_enable=YES\nno_anon_password=YES\n"
                    "anon_root=%s\nlocal_enable=NO\nwrite_enable=NO\nseccomp_sandbox=NO\n"
                    "pasv_enable=YES\nsecure_chroot_dir=%s\nxferlog_enable=NO\n"
                    "use_localtime=NO\nssl_enable=NO\n" % (port, root, empty))
        server = subprocess.Popen(["/usr/sbin/vsftpd", conf])
        try:
            return raw_list(port, "anonymous", "")
        finally:
            server.terminate()
            server.wait(timeout=10)


def main():
    now = int(time.time())
    with tempfile.TemporaryDirectory() as root:
        os.chmod(root, 0o755)  # vsftpd's anonymous user must be able to read it
        times = lay_out(root, now)
        listing = fetch_pyftpdlib(root)
        vsftpd = fetch_vsftpd(root)
        ls = subprocess.run(["ls", "-l", root], check=True, capture_output=True,
                            env=dict(os.environ, LC_ALL="C", TZ="UTC")).stdout

        rows = []
        for name in sorted(times):
            st = os.lstat(os.path.join(root, name))
            target = os.readlink(os.path.join(root, name)) if stat.S_ISLNK(st.st_mode) else ""
            rows.append("\t".join([
                name, kind(st), "%o" % stat.S_IMODE(st.st_mode), str(st.st_size),
                time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(st.st_mtime)),
                pwd.getpwuid(st.st_uid).pw_name, grp.getgrgid(st.st_gid).gr_name, target,
                str(st.st_uid), str(st.st_gid)]))

    with open(os.path.join(HERE, "pyftpdlib.list"), "wb") as f:
        f.write(listing)
    with open(os.path.join(HERE, "ls.list"), "wb") as f:
        f.write(ls)
    if vsftpd is not None:
        with open(os.path.join(HERE, "vsftpd.list"), "wb") as f:
            f.write(vsftpd)
    with open(os.path.join(HERE, "files.tsv"), "w") as f:
        f.write("# captured\t%s\n" % time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(now)))
        f.write("# name\tkind\tmode\tsize\tmtime\towner\tgroup\ttarget\tuid\tgid\n")
        f.write("\n".join(rows) + "\n")


if __name__ == "__main__":
    main()
