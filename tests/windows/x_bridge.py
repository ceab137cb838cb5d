"""Runs X tools on the Linux side for tests inside a Windows CPython under Wine.

    python tests/windows/x_bridge.py PORT_FILE

A Windows process under Wine can start a Linux program but gets no handle or
output back, and it has no xdotool of its own. This server listens on
127.0.0.1 (a port of its own, written to PORT_FILE) and, for each request,
runs one of the X tools named in TOOLS on the display in its environment
(DISPLAY) and answers with the exit status and the output. One request per
connection: a JSON line {"args": [...], "input": "..."}; the answer is a
JSON line {"status": N, "stdout": "...", "stderr": "..."}. The tests reach it
through helpers/display.py (VOSTEL_X_BRIDGE=127.0.0.1:PORT). It ends when
its parent (scripts/test-windows.sh) kills it.
"""
import json
import os
import socketserver
import subprocess
import sys

TOOLS = ("xdotool", "xwininfo", "xwd")


class Handler(socketserver.StreamRequestHandler):
    def handle(self):
        try:
            request = json.loads(self.rfile.readline())
            args = [str(a) for a in request["args"]]
            if not args or args[0] not in TOOLS:
                raise ValueError("not an X tool of this bridge: %r" % (args[:1],))
            data = request.get("input")
            done = subprocess.run(args, input=None if data is None else data.encode("latin-1"),
                                  capture_output=True, timeout=60)
            answer = {"status": done.returncode, "stdout": done.stdout.decode("latin-1"),
                      "stderr": done.stderr.decode("latin-1")}
        except Exception as e:  # noqa: B902 - every failure goes back to the caller
            answer = {"status": 127, "stdout": "", "stderr": "x_bridge: %s" % e}
        self.wfile.write((json.dumps(answer) + "\n").encode())


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def main(port_file):
    with Server(("127.0.0.1", 0), Handler) as server:
        tmp = port_file + ".part"
        with open(tmp, "w") as f:
            f.write(str(server.server_address[1]))
        os.replace(tmp, port_file)
        server.serve_forever()


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
