# Real servers for the end-to-end scripts, each started by the test in the foreground on a free
# loopback port with its own files below $WORK: nginx serving a mirror folder, and tinyproxy as
# an HTTP proxy. Sourced after e2e_lib.sh. With VELKA_E2E_SERVER=nginx, start_server and
# stop_server of e2e_lib.sh serve through nginx instead of the Python mirror server (which stays
# where a test needs a server that ignores ranges or injects faults).

NGINX="$(command -v nginx || echo /usr/sbin/nginx)"
TINYPROXY="$(command -v tinyproxy || echo /usr/bin/tinyproxy)"

wait_for_port() {  # wait_for_port PORT WHAT
  for _ in $(seq 200); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then return 0; fi
    sleep 0.05
  done
  fail "$2 did not start: $(cat "$WORK"/nginx/error.log "$WORK"/tinyproxy-*/out 2>/dev/null | tail -n 5)"
}

# start_nginx ROOT [RATE]: serves ROOT on $PORT at RATE bytes per second and connection (full
# speed without). Request paths go to $WORK/requests, transfers to $WORK/transfers.
start_nginx() {
  local prefix="$WORK/nginx"
  mkdir -p "$prefix"
  sed -e "s|@PORT@|$PORT|; s|@ROOT@|$1|; s|@RATE@|${2:-0}|" \
      -e "s|@REQUESTS@|$WORK/requests|; s|@TRANSFERS@|$WORK/transfers|" \
      "$HERE/nginx.conf" > "$prefix/nginx.conf"
  # As root the workers would run as nobody, who cannot read the 0700 scratch folder.
  local user=()
  [ "$(id -u)" = 0 ] && user=(-g "user root;")
  "$NGINX" -p "$prefix" -c "$prefix/nginx.conf" -e "$prefix/error.log" "${user[@]}" &
  SERVER_PID=$!
  wait_for_port "$PORT" nginx
}

# Body bytes nginx sent for request paths matching the pattern, summed over its transfers.
bytes_sent() { awk -v p="$1" '$1 ~ p { sum += $3 } END { print sum + 0 }' "$WORK/transfers"; }

# start_proxy PORT [USER PASSWORD]: tinyproxy on 127.0.0.1:PORT, asking for basic
# authentication when a user is given (tinyproxy takes only letters, digits and "._-" in them);
# its log is $WORK/tinyproxy-PORT/log. Stopped by the clean-up.
PROXY_PIDS=()
start_proxy() {
  local dir="$WORK/tinyproxy-$1"
  mkdir -p "$dir"
  {
    echo "Port $1"
    echo "Listen 127.0.0.1"
    echo "Timeout 60"
    echo "MaxClients 20"
    echo "Allow 127.0.0.1"
    echo "LogFile \"$dir/log\""
    echo "LogLevel Info"
    echo "PidFile \"$dir/pid\""
    [ "$(id -u)" = 0 ] && { echo "User root"; echo "Group root"; }
    [ -n "${2:-}" ] && echo "BasicAuth $2 $3"
  } > "$dir/tinyproxy.conf"
  "$TINYPROXY" -d -c "$dir/tinyproxy.conf" > "$dir/out" 2>&1 &
  PROXY_PIDS+=($!)
  wait_for_port "$1" tinyproxy
}

stop_proxies() {
  local pid
  for pid in "${PROXY_PIDS[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  PROXY_PIDS=()
}

# Proxy settings of the environment, which libcurl would otherwise follow: a test sets only
# those it means to use.
unset http_proxy HTTP_PROXY https_proxy HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY

trap 'stop_proxies; cleanup' EXIT

if [ "${VELKA_E2E_SERVER:-python}" = nginx ]; then
  start_server() { start_nginx "$@"; }
fi
