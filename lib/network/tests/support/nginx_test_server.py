#!/usr/bin/python3
"""nginx on 127.0.0.1 with a free port, for the HTTP client's tests.

    nginx_test_server.py FOLDER ROOT [WORKERS [CERTIFICATE KEY]]

Runs WORKERS worker processes (default 1); with CERTIFICATE and KEY (PEM
files) it serves the same over TLS on a second port. Writes its
configuration, logs and temporary folders under FOLDER, serves the files of
ROOT with gzip for text/plain (the files under ROOT/gz/ as they are, already
gzip-coded, with "Content-Encoding: gzip"), and answers /r301, /r302, /r303 and /r307 with
a chain of redirects that ends at /text.txt, and /cookie with the request's
"Cookie" header. The access log FOLDER/access.log has one line per request:
"<connection> <request number on the connection> <request line>". Prints
{"port": <port>} ({"port": <port>, "tls_port": <port>} with TLS) once nginx
accepts connections, and stops nginx when terminated or when its parent ends.
"""

import ctypes
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time

CONFIG = """
worker_processes {workers};
{user}
pid "{folder}/nginx.pid";
error_log "{folder}/error.log";
events {{ worker_connections 64; }}
http {{
    log_format connections '$connection $connection_requests $request';
    access_log "{folder}/access.log" connections;
    client_body_temp_path "{folder}/client_body";
    proxy_temp_path "{folder}/proxy";
    fastcgi_temp_path "{folder}/fastcgi";
    uwsgi_temp_path "{folder}/uwsgi";
    scgi_temp_path "{folder}/scgi";
    types {{ text/plain txt; application/octet-stream bin; }}
    keepalive_requests 1000000;
    sendfile on;
    server {{
        listen 127.0.0.1:{port};
        {tls}
        root "{root}";
        gzip on;
        gzip_types text/plain;
        gzip_min_length 0;
        location = /r301 {{ return 301 /r302; }}
        location = /r302 {{ return 302 /r303; }}
        location = /r303 {{ return 303 /r307; }}
        location = /r307 {{ return 307 /text.txt; }}
        location = /cookie {{ return 200 "$http_cookie"; }}
        location /gz/ {{ gzip off; add_header Content-Encoding gzip; }}
    }}
}}
"""


def quoted(text):
    """`text` as an nginx string: any blank, quote or backslash in it kept."""
    return text.replace("\\", "\\\\").replace('"', '\\"')


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def die_with_parent():
    libc = ctypes.CDLL("libc.so.6", use_errno=True)
    libc.prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def main():
    folder, root = sys.argv[1], sys.argv[2]
    workers = int(sys.argv[3]) if len(sys.argv) > 3 else 1
    die_with_parent()
    port = free_port()
    ready = {"port": port}
    tls = ""
    if len(sys.argv) > 5:
        ready["tls_port"] = free_port()
        tls = 'listen 127.0.0.1:{} ssl; ssl_certificate "{}"; ssl_certificate_key "{}";'.format(
            ready["tls_port"], quoted(sys.argv[4]), quoted(sys.argv[5]))
    user = "user root;" if os.geteuid() == 0 else ""
    with open(os.path.join(folder, "nginx.conf"), "w", encoding="utf-8") as config:
        config.write(CONFIG.format(folder=quoted(folder), root=quoted(root), port=port, user=user,
                                   workers=workers, tls=tls))
    nginx = subprocess.Popen(["/usr/sbin/nginx", "-p", folder, "-e", folder + "/error.log",
                              "-c", folder + "/nginx.conf", "-g", "daemon off;"],
                             preexec_fn=die_with_parent)

    def stop(*_):
        # The main thread's wait below reaps nginx; a stuck one is killed.
        nginx.terminate()
        killer = threading.Timer(5, nginx.kill)
        killer.daemon = True
        killer.start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and nginx.poll() is None:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            print(json.dumps(ready), flush=True)
            break
        except OSError:
            time.sleep(0.05)
    nginx.wait()


if __name__ == "__main__":
    main()
