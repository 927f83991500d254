#!/usr/bin/env python3
"""The demo's mirror: mirror_server.py ROOT PORT LOG [--throttle BYTES_PER_SECOND] serves ROOT on
127.0.0.1:PORT, appending each request path to LOG, bodies at most that fast."""
import functools, http.server, sys, time


class Handler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, fmt, *args):
        pass

    def send_head(self):
        with open(sys.argv[3], "a", encoding="utf-8") as log:
            log.write(self.path + "\n")
        return super().send_head()

    def copyfile(self, source, out):
        rate = int(sys.argv[sys.argv.index("--throttle") + 1]) if "--throttle" in sys.argv else 0
        while rate and (data := source.read(max(1, rate // 10))):
            out.write(data)
            time.sleep(0.1)
        super().copyfile(source, out)


server = http.server.ThreadingHTTPServer(("127.0.0.1", int(sys.argv[2])),
                                         functools.partial(Handler, directory=sys.argv[1]))
server.daemon_threads = True
server.serve_forever()
