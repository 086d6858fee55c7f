#!/usr/bin/env bash
# The shipped nginx site in front of the service: throw-away certificates,
# the built service bound to 127.0.0.1 in a sandbox box (stub docker,
# reboot and box scripts), nginx with the site file on 127.0.0.1:8443, all
# in a private network namespace when one can be had and on loopback
# addresses in any case. Shows that a controller with a certificate of the
# fleet's CA gets what the service says, that no one else reaches the
# service, and that idle clients no longer hold it up.
#
# Usage: secure_api_test.sh SERVICE_BINARY SITE_FILE
set -u
service_binary=$1 site_file=$2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/test_lib.sh"
export PATH=$PATH:/usr/sbin:/sbin LC_ALL=C

need_commands "nginx-light openssl" nginx openssl
run_in_private_network "$@"

tmp=$(mktemp -d)
chmod 711 "$tmp" # nginx's workers run as nobody
service_pid='' nginx_pid=''
trap '[ -n "$nginx_pid" ] && stop_process "$nginx_pid"; [ -n "$service_pid" ] && stop_process "$service_pid"; rm -rf "$tmp"' EXIT
bound_curl "$tmp"

# ---- Certificates: the fleet's CA, its server and client, a stranger's CA ----

pki=$tmp/pki
mkdir "$pki"
# new_ca NAME; new_certificate CA NAME EXTENSIONS. Keys are P-256, the
# subject is CN=NAME, and everything lives for a day.
key_options=(-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj)
new_ca() {
    openssl req -x509 "${key_options[@]}" "/CN=$1" -days 1 \
        -keyout "$pki/$1.key" -out "$pki/$1.pem" 2>/dev/null
}
new_certificate() {
    openssl req -new "${key_options[@]}" "/CN=$2" -keyout "$pki/$2.key" -out "$pki/$2.csr" \
        2>/dev/null &&
        openssl x509 -req -days 1 -in "$pki/$2.csr" -CA "$pki/$1.pem" -CAkey "$pki/$1.key" \
            -set_serial "0x$(openssl rand -hex 8)" -extfile <(echo "$3") -out "$pki/$2.pem" 2>/dev/null
}
new_ca fleet-ca && new_certificate fleet-ca server "subjectAltName=IP:127.0.0.1" &&
    new_certificate fleet-ca controller "extendedKeyUsage=clientAuth" &&
    new_ca other-ca && new_certificate other-ca stranger "extendedKeyUsage=clientAuth"
check "openssl makes the certificates" test -s "$pki/stranger.pem"

# ---- The service, bound to 127.0.0.1 ----

make_stubs "$tmp/bin" docker reboot
box=$tmp/box
mkdir "$box"
cp "$service_binary" "$box/skein_edge_updater"
printf '#!/bin/sh\necho "$*" >> update.calls\n' >"$box/Update_Skein_Edge.sh"
printf '#!/bin/sh\n' >"$box/start_containers.sh"
SKEIN_LISTEN_ADDRESS=127.0.0.1 "$box/skein_edge_updater" >"$tmp/service.out" 2>&1 &
service_pid=$!
if ! wait_for_service http://127.0.0.1:8888/status "$service_pid"; then
    fail "the service serves on 127.0.0.1:8888"
    cat "$tmp/service.out"
    finish
    exit
fi

# ---- nginx with the shipped site, on the loopback only ----

site=$tmp/site.conf
sed -e "s|/etc/nginx/skein-tls/|$pki/|" -e 's|listen 8443 ssl;|listen 127.0.0.1:8443 ssl;|' \
    "$site_file" >"$site"
check_equal "the site names its certificate files and port where the test puts them" \
    "3 1" "$(grep -c "^ *ssl_[a-z_]* *$pki/" "$site") $(grep -c 'listen 127.0.0.1:8443 ssl;' "$site")"
mkdir "$tmp/nginx"
cat >"$tmp/nginx/nginx.conf" <<EOF
pid $tmp/nginx/nginx.pid;
daemon off;
worker_processes 1;
events { worker_connections 64; }
http {
    access_log off;
    client_body_temp_path $tmp/nginx/body;
    proxy_temp_path $tmp/nginx/proxy;
    fastcgi_temp_path $tmp/nginx/fastcgi;
    uwsgi_temp_path $tmp/nginx/uwsgi;
    scgi_temp_path $tmp/nginx/scgi;
    include $site;
}
EOF
nginx -p "$tmp/nginx" -e "$tmp/nginx/error.log" -c "$tmp/nginx/nginx.conf" &
nginx_pid=$!
controller=(--cert "$pki/controller.pem" --key "$pki/controller.key")
if ! wait_for_service https://127.0.0.1:8443/status "$nginx_pid" --cacert "$pki/fleet-ca.pem" \
    "${controller[@]}"; then
    fail "nginx serves the site on 127.0.0.1:8443"
    cat "$tmp/nginx/error.log"
    finish
    exit
fi

# ---- (a) The controller gets what the service says, route by route ----

# reply CURL_ARGS...: the status code and the body.
reply() {
    curl -s -o "$tmp/body" -w '%{http_code} ' "$@"
    cat "$tmp/body"
}
direct() { reply "${@:2}" "http://127.0.0.1:8888$1"; }
via_nginx() { reply --cacert "$pki/fleet-ca.pem" "${@:2}" "https://127.0.0.1:8443$1"; }
proxied() { via_nginx "$1" "${controller[@]}" "${@:2}"; }
# The routes that answer 404 on a new box, then each after an update.
for route in /status /version /previousversion /previousversiontemp /rollback /update / \
    "/update?version=1.0" /version /previousversion /previousversiontemp /rollback /reboot; do
    check_equal "through nginx: GET $route" "$(direct "$route")" "$(proxied "$route")"
done
check_equal "through nginx: POST /status" "$(direct /status -X POST)" "$(proxied /status -X POST)"
check_equal "a header of the controller's gives no version" "400 Missing version parameter" \
    "$(proxied /update -H 'X-Info: version=9')"

# ---- (b) Without a certificate of the fleet's CA, nothing reaches the service ----

# The service logs a request and writes version.info before it replies.
log=$box/logs/update_logs/skein_edge_updater_100.log
seen=$(grep -c 'Recieved Request' "$log")
check "a client without a certificate is refused" \
    has_text "$(via_nginx '/update?version=2.0')" "400 No required SSL certificate was sent"
check "a client with another CA's certificate is refused" \
    has_text "$(via_nginx '/update?version=2.0' --cert "$pki/stranger.pem" --key "$pki/stranger.key")" \
    "^000\|400 The SSL certificate error"
check_equal "the refused requests never reached the service" "$seen 1.0" \
    "$(grep -c 'Recieved Request' "$log") $(cat "$box/installation_details/version.info")"
check "the update script never ran for them" lacks_text "$(cat "$box/update.calls")" 2.0

# ---- (c) The service is on 127.0.0.1 alone ----

curl -s -o /dev/null http://127.0.0.2:8888/status
check_equal "another address of the box is refused at port 8888" 7 $?

# ---- (d) Idle clients of nginx do not hold up the service ----

idle=()
for _ in 1 2 3 4; do
    exec {fd}<>/dev/tcp/127.0.0.1/8443 && idle+=("$fd")
done
started=$(date +%s%N)
answer=$(proxied /version --max-time 3)
elapsed_ms=$((($(date +%s%N) - started) / 1000000))
check_equal "with ${#idle[@]} idle clients connected, the controller is answered (${elapsed_ms} ms)" \
    "200 Current version: 1.0" "$answer"
for fd in "${idle[@]}"; do exec {fd}>&-; done

check_equal "the service ran throughout" 0 "$(kill -0 "$service_pid" 2>/dev/null; echo $?)"
finish
