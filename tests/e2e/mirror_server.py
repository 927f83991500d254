#!/usr/bin/env python3
"""A static HTTP server for the end-to-end tests: serves a folder on 127.0.0.1, writes every
request path to a log file, and can throttle bodies (to let a test stop a launcher mid-download).

    mirror_server.py ROOT PORT LOG [--throttle BYTES_PER_SECOND]
"""
import functools
import http.server
import sys
import time


class Handler(http.server.SimpleHTTPRequestHandler):
    throttle = 0
    log_path = None

    def log_message(self, fmt, *args):
        pass

    def send_head(self):
        with open(self.log_path, "a", encoding="utf-8") as log:
            log.write(self.path + "\n")
        return super().send_head()

    def copyfile(self, source, outputfile):
        if not self.throttle:
            return super().copyfile(source, outputfile)
        chunk = max(1, self.throttle // 10)
        while True:
            data = source.read(chunk)
            if not data:
                return
            outputfile.write(data)
            outputfile.flush()
            time.sleep(0.1)


def main():
    root, port, log = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    Handler.log_path = log
    if "--throttle" in sys.argv:
        Handler.throttle = int(sys.argv[sys.argv.index("--throttle") + 1])
    handler = functools.partial(Handler, directory=root)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), handler)
    server.daemon_threads = True
    server.serve_forever()


if __name__ == "__main__":
    main()
