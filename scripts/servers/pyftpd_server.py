#!/usr/bin/python3
"""One-account FTP server on 127.0.0.1 (pyftpdlib), for the integration tests and the demo.

The password is read from the FTP_PASS environment variable so that it does
not show up in the process list. Started by start.sh; runs in the foreground
until it is sent SIGTERM.
"""

import argparse
import logging
import os
import signal
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--root", required=True, help="the account's FTP root")
    parser.add_argument("--user", required=True)
    args = parser.parse_args()

    password = os.environ.pop("FTP_PASS", "")
    if not password:
        print("FTP_PASS is not set", file=sys.stderr)
        return 2

    logging.basicConfig(level=logging.INFO, stream=sys.stderr,
                        format="%(asctime)s %(message)s")

    authorizer = DummyAuthorizer()
    # Everything: list, cwd, retrieve, append, delete, rename, mkdir, store,
    # chmod, set mtime.
    authorizer.add_user(args.user, password, args.root, perm="elradfmwMT")

    class Handler(FTPHandler):
        pass

    Handler.authorizer = authorizer
    Handler.banner = "pyftpdlib test server ready."
    # Data connections stay on the control connection's address (127.0.0.1).
    Handler.masquerade_address = None
    Handler.permit_foreign_addresses = False

    server = FTPServer(("127.0.0.1", args.port), Handler)
    server.max_cons = 256
    server.max_cons_per_ip = 0

    def stop(_signum, _frame):
        server.close_all()
        sys.exit(0)

    signal.signal(signal.SIGTERM, stop)
    server.serve_forever()
    return 0


if __name__ == "__main__":
    sys.exit(main())
