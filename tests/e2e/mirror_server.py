#!/usr/bin/env python3
"""The demo's mirror: serves ROOT on 127.0.0.1:PORT, appends each request path to LOG and can
throttle bodies.   mirror_server.py ROOT PORT LOG [--throttle BYTES_PER_SECOND]"""
import functools, http.server, sys, time


class Handler(http.server.SimpleHTTPRequestHandler):
    throttle, log_path = 0, None

    def log_message(self, fmt, *args):
        pass

    def send_head(self):
        with open(self.log_path, "a", encoding="utf-8") as log:
            log.write(self.path + "\n")
        return super().send_head()

    def copyfile(self, source, outputfile):
        while self.throttle and (data := source.read(max(1, self.throttle // 10))):
            outputfile.write(data)
            outputfile.flush()
            time.sleep(0.1)
        super().copyfile(source, outputfile)


Handler.log_path = sys.argv[3]
if "--throttle" in sys.argv:
    Handler.throttle = int(sys.argv[sys.argv.index("--throttle") + 1])
handler = functools.partial(Handler, directory=sys.argv[1])
server = http.server.ThreadingHTTPServer(("127.0.0.1", int(sys.argv[2])), handler)
server.daemon_threads = True
server.serve_forever()
