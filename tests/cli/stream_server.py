#!/usr/bin/env python3
"""A small HTTP server for the monitor tests, on 127.0.0.1 only.

  stream_server.py DIR PORTFILE [--port P] [--rate BYTES_PER_S]

Serves the files of DIR as they are (HLS playlists and segments, whole files; Range requests are
not taken, so a client cannot seek) and, under
/live/NAME, the bytes of DIR/NAME over and over without end, as an Icecast-like radio stream
(no length, the connection stays open), paced at BYTES_PER_S; under /stall/NAME the headers
of such a stream and then nothing, the connection held open. Writes the port to PORTFILE once
it listens (port 0: any free port), and the time each stream starts to PORTFILE.log.
"""
import argparse
import http.server
import os
import sys
import time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("dir")
    parser.add_argument("portfile")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--rate", type=float, default=64000.0)
    args = parser.parse_args()
    root = os.path.abspath(args.dir)

    class Handler(http.server.SimpleHTTPRequestHandler):
        def __init__(self, *a, **kw):
            super().__init__(*a, directory=root, **kw)

        def log_message(self, *a):
            pass

        def do_GET(self):
            if self.path.startswith("/stall/"):
                self.send_response(200)
                self.send_header("Content-Type", "audio/mpeg")
                self.end_headers()
                self.wfile.flush()
                try:
                    while not self.rfile.read(1) == b"":
                        pass
                except OSError:
                    pass
                return
            # Files go out whole, whatever part is asked for: a server without Range requests.
            del self.headers["Range"]
            if not self.path.startswith("/live/"):
                return super().do_GET()
            path = os.path.join(root, os.path.basename(self.path[len("/live/"):]))
            try:
                with open(path, "rb") as f:
                    data = f.read()
            except OSError:
                self.send_error(404)
                return
            with open(args.portfile + ".log", "a") as log:
                log.write("%.3f %s\n" % (time.time(), self.path))
            self.send_response(200)
            self.send_header("Content-Type", "audio/mpeg" if path.endswith(".mp3") else "audio/aac")
            self.send_header("icy-name", "test station")
            self.end_headers()
            sent, start, chunk = 0, time.monotonic(), 4096
            try:
                while True:
                    for at in range(0, len(data), chunk):
                        self.wfile.write(data[at:at + chunk])
                        self.wfile.flush()
                        sent += len(data[at:at + chunk])
                        ahead = sent / args.rate - (time.monotonic() - start)
                        if ahead > 0:
                            time.sleep(ahead)
            except (BrokenPipeError, ConnectionResetError):
                pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    server.daemon_threads = True
    with open(args.portfile + ".tmp", "w") as f:
        f.write(str(server.server_address[1]))
    os.replace(args.portfile + ".tmp", args.portfile)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
