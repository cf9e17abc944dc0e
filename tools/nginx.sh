# Sourced by scripts that serve a release tree over HTTPS with Debian's nginx,
# run as their own process (own config, pid, logs and temp folders), never the
# system service.
#
#   start_nginx <folder> <served root> <certificate> <key>
#       starts nginx on a free port of 127.0.0.1 and waits until it listens;
#       sets nginx_pid and nginx_url. The access log, <folder>/access.log,
#       holds one line per request: status, body bytes sent, request line.
#   stop_nginx
#       stops it (nothing when it is not running).

nginx_pid=""
nginx_url=""

start_nginx() {
    nginx_dir=$(realpath -m "$1")
    nginx_root=$(realpath "$2")
    nginx_certificate=$(realpath "$3")
    nginx_key=$(realpath "$4")
    rm -rf "$nginx_dir"
    mkdir -p "$nginx_dir/temp"
    nginx_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    # Run as root, nginx's workers would switch to a user that may not reach
    # the build folder.
    nginx_user=""
    [ "$(id -u)" = 0 ] && nginx_user="user root;"
    cat >"$nginx_dir/nginx.conf" <<EOF
$nginx_user
daemon off;
worker_processes 2;
pid $nginx_dir/nginx.pid;
error_log $nginx_dir/error.log warn;
events { worker_connections 256; }
http {
    log_format plain '\$status \$body_bytes_sent "\$request"';
    access_log $nginx_dir/access.log plain;
    client_body_temp_path $nginx_dir/temp/body;
    proxy_temp_path $nginx_dir/temp/proxy;
    fastcgi_temp_path $nginx_dir/temp/fastcgi;
    uwsgi_temp_path $nginx_dir/temp/uwsgi;
    scgi_temp_path $nginx_dir/temp/scgi;
    default_type application/octet-stream;
    sendfile on;
    keepalive_requests 100000;
    server {
        listen 127.0.0.1:$nginx_port ssl;
        ssl_certificate $nginx_certificate;
        ssl_certificate_key $nginx_key;
        root $nginx_root;
    }
}
EOF
    nginx -p "$nginx_dir" -c "$nginx_dir/nginx.conf" -e "$nginx_dir/error.log" &
    nginx_pid=$!
    python3 - "$nginx_port" "$nginx_pid" <<'EOF'
import os, socket, sys, time
port, pid = int(sys.argv[1]), int(sys.argv[2])
for _ in range(100):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        sys.exit(0)
    except OSError:
        os.kill(pid, 0)  # nginx gave up: say so at once
        time.sleep(0.1)
sys.exit("nginx did not start listening")
EOF
    nginx_url=https://127.0.0.1:$nginx_port
}

stop_nginx() {
    if [ -n "$nginx_pid" ]; then
        kill "$nginx_pid" 2>/dev/null || true
        wait "$nginx_pid" 2>/dev/null || true
        nginx_pid=""
    fi
}
