"""Runs a project's server.py with every request line stamped in CLOCK_MONOTONIC nanoseconds.

Usage: python3 timedserver.py PROJECT_ROOT PORT

The demo server logs its requests with a one-second clock; the start-up benchmark needs to
know, to the microsecond and on the clock it reads itself (time.monotonic_ns), when the
companion's first poll reached the server. Nothing else about the server changes.
"""

import sys
import time


def main():
    root, port = sys.argv[1], sys.argv[2]
    sys.path.insert(0, root)
    import server  # the project's own server.py

    def log_message(self, fmt, *args):
        # Called from send_response, before the headers and the body go out.
        sys.stderr.write("%d %s\n" % (time.monotonic_ns(), fmt % args))
        sys.stderr.flush()

    server.Handler.log_message = log_message
    return server.main(["server.py", port])


if __name__ == "__main__":
    sys.exit(main())
