#!/usr/bin/env python3
"""The demo's mirror: demo_mirror.py ROOT PORT LOG [--throttle BYTES_PER_SECOND] serves ROOT on
127.0.0.1:PORT, appending each request path to LOG, bodies at most that fast."""
import functools, http.server, sys, time

RATE = int(sys.argv[5]) if sys.argv[4:5] == ["--throttle"] else 0


class Handler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, fmt, *args):
        pass

    def send_head(self):
        open(sys.argv[3], "a", encoding="utf-8").write(self.path + "\n")
        return super().send_head()

    def copyfile(self, source, out):
        while RATE and (data := source.read(max(1, RATE // 10))):
            out.write(data)
            time.sleep(0.1)
        super().copyfile(source, out)


http.server.ThreadingHTTPServer.daemon_threads = True
http.server.ThreadingHTTPServer(("127.0.0.1", int(sys.argv[2])),
                                functools.partial(Handler, directory=sys.argv[1])).serve_forever()
