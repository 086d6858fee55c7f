#!/usr/bin/env bash
# The shipped nginx site in front of the service: throw-away certificates,
# the built service bound to 127.0.0.1 in a sandbox box (stub docker,
# reboot and box scripts), nginx with the site file on 127.0.0.1:8443, all
# in a private network namespace when one can be had and on loopback
# addresses in any case. Shows that a listed controller with a certificate
# of the controllers' CA gets what the service says, that no one else
# reaches the service (the box's own certificate included), that each
# request is in the audit log and each refusal in the error log, that a
# controller's certificate is withdrawn and renewed by the allow-list, that
# a box's is renewed, and that idle clients no longer hold the service up.
#
# Usage: secure_api_test.sh SERVICE_BINARY SITE_FILE FLEET_DIR
set -u
service_binary=$1 site_file=$2 fleet=$3
here=$(cd "$(dirname "$0")" && pwd)
. "$here/test_lib.sh"
export PATH=$PATH:/usr/sbin:/sbin LC_ALL=C

need_commands "nginx-light openssl ansible-core" nginx openssl ansible-playbook
run_in_private_network "$@"

tmp=$(mktemp -d)
chmod 711 "$tmp" # nginx's workers run as nobody
service_pid='' nginx_pid=''
trap '[ -n "$nginx_pid" ] && stop_process "$nginx_pid"; [ -n "$service_pid" ] && stop_process "$service_pid"; rm -rf "$tmp"' EXIT
bound_curl "$tmp"

# ---- Certificates: the boxes' CA and the box's, the controllers' CA and two
# controllers', a stranger's CA and client ----

pki=$tmp/pki
mkdir "$pki"
# new_ca NAME; new_certificate CA NAME EXTENSIONS [SUBJECT_NAME SERIAL].
# Keys are P-256, the subject is CN=NAME (or SUBJECT_NAME), the serial
# random (or SERIAL, in hex), and everything lives for a day.
key_options=(-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj)
new_ca() {
    openssl req -x509 "${key_options[@]}" "/CN=$1" -days 1 \
        -keyout "$pki/$1.key" -out "$pki/$1.pem" 2>/dev/null
}
new_certificate() {
    openssl req -new "${key_options[@]}" "/CN=${4:-$2}" -keyout "$pki/$2.key" -out "$pki/$2.csr" \
        2>/dev/null &&
        openssl x509 -req -days 1 -in "$pki/$2.csr" -CA "$pki/$1.pem" -CAkey "$pki/$1.key" \
            -set_serial "0x${5:-$(openssl rand -hex 8)}" -extfile <(echo "$3") -out "$pki/$2.pem" 2>/dev/null
}
serial() { openssl x509 -noout -serial -in "$pki/$1.pem" | cut -d= -f2; }
box_usage=$'subjectAltName=DNS:box.test,IP:127.0.0.1\nextendedKeyUsage=serverAuth'
# The stranger's certificate copies the controller's subject and serial.
new_ca box-ca && new_certificate box-ca server "$box_usage" &&
    new_ca controller-ca && new_certificate controller-ca controller "extendedKeyUsage=clientAuth" &&
    new_certificate controller-ca controller2 "extendedKeyUsage=clientAuth" &&
    new_ca other-ca && new_certificate other-ca stranger "extendedKeyUsage=clientAuth" controller \
    "$(serial controller)"
check "openssl makes the certificates" test -s "$pki/stranger.pem"
# allow NAME...: the site's allow-list names those controllers alone.
allow() {
    local name
    for name in "$@"; do echo "$(serial "$name") yes;  # $name"; done >"$pki/controllers.allow"
}
allow controller

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
    -e "s|/var/log/nginx/|$tmp/nginx/|" "$site_file" >"$site"
check_equal "the site names its files, logs and port where the test puts them" "4 2 1" \
    "$(grep -v '^ *#' "$site" | grep -c "$pki/") $(grep -c "$tmp/nginx/" "$site") $(
        grep -c 'listen 127.0.0.1:8443 ssl;' "$site")"
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
if ! wait_for_service https://127.0.0.1:8443/status "$nginx_pid" --cacert "$pki/box-ca.pem" \
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
via_nginx() { reply --cacert "$pki/box-ca.pem" "${@:2}" "https://127.0.0.1:8443$1"; }
as() { via_nginx "$2" --cert "$pki/$1.pem" --key "$pki/$1.key"; }
proxied() { via_nginx "$1" "${controller[@]}" "${@:2}"; }
# The routes that answer 404 on a new box, then each after an update.
for route in /status /version /previousversion /previousversiontemp /rollback /update / \
    "/update?version=1.0" /version /previousversion /previousversiontemp /rollback /reboot; do
    check_equal "through nginx: GET $route" "$(direct "$route")" "$(proxied "$route")"
done
check_equal "through nginx: POST /status" "$(direct /status -X POST)" "$(proxied /status -X POST)"
check_equal "a header of the controller's gives no version" "400 Missing version parameter" \
    "$(proxied /update -H 'X-Info: version=9')"

audit=$tmp/nginx/skein_edge_updater-audit.log
check "the audit log has the controller's serial, issuer and subject with the request line" grep -q \
    " verify=SUCCESS serial=$(serial controller) \"GET /reboot HTTP/1.1\" 200 issuer=\"CN=controller-ca\" subject=\"CN=controller\"\$" \
    "$audit"

# ---- (b) Without a listed certificate of the controllers' CA, nothing reaches the service ----

# The service logs a request and writes version.info before it replies.
log=$box/logs/update_logs/skein_edge_updater_100.log
seen=$(grep -c 'Recieved Request' "$log")
check "a client without a certificate is refused" \
    has_text "$(via_nginx '/update?version=2.0')" "400 No required SSL certificate was sent"
refused="400 The SSL certificate error"
check "a client with another CA's certificate is refused" \
    has_text "$(as stranger '/update?version=2.0')" "$refused"
check "the box's own certificate is refused as a client" has_text "$(as server '/update?version=2.0')" "$refused"
check "an unlisted certificate of the controllers' CA is refused" \
    has_text "$(as controller2 '/update?version=2.0')" "$refused"
check_equal "the refused requests never reached the service" "$seen 1.0" \
    "$(grep -c 'Recieved Request' "$log") $(cat "$box/installation_details/version.info")"
check "the update script never ran for them" lacks_text "$(cat "$box/update.calls")" 2.0
check_equal "the error log names each refused certificate" "1 2" \
    "$(grep -c 'client sent no required SSL certificate' "$tmp/nginx/skein_edge_updater-error.log") $(
        grep -c 'client SSL certificate verify error' "$tmp/nginx/skein_edge_updater-error.log")"
check "the audit log has the unlisted certificate's refusal" grep -q \
    " verify=SUCCESS serial=$(serial controller2) \"GET /update?version=2.0 HTTP/1.1\" 400 issuer=\"CN=controller-ca\" subject=\"CN=controller2\"\$" \
    "$audit"
check_equal "a stranger's copy of the controller's subject and serial is logged as nobody's" "2 0" "$(
    awk '$3 == "verify=FAILED" && $4 == "serial=-" && / issuer="-" subject="-"$/' "$audit" | wc -l) $(
    awk '$3 != "verify=SUCCESS"' "$audit" | grep -c "$(serial controller)\|CN=controller")"

# ---- (c) Renewal and withdrawal: the allow-list, and the box's certificate ----

# reload_until DESCRIPTION CERT EXPECTED: nginx reloads its files, and CERT's
# /version is EXPECTED within 5 s.
reload_until() {
    local answer
    kill -HUP "$nginx_pid"
    for _ in $(seq 50); do
        answer=$(as "$2" /version)
        has_text "$answer" "$3" && break
        sleep 0.1
    done
    check "$1" has_text "$answer" "$3"
}
allow controller controller2
reload_until "the renewed controller certificate is let in once listed" controller2 "200 Current"
allow controller2
reload_until "the withdrawn controller certificate is refused" controller "$refused"
check "the other controller is still let in" has_text "$(as controller2 /version)" "^200 Current"
server_serial() {
    openssl s_client -connect 127.0.0.1:8443 -servername box.test </dev/null 2>/dev/null |
        openssl x509 -noout -serial | cut -d= -f2
}
new_certificate box-ca server "$box_usage"
# Asked again each second: on a loaded machine one reload was seen to go
# unnoticed for longer than the whole wait.
for try in $(seq 100); do
    [ $((try % 10)) = 1 ] && kill -HUP "$nginx_pid"
    [ "$(server_serial)" = "$(serial server)" ] && break
    sleep 0.1
done
check_equal "the box serves its renewed certificate" "$(serial server)" "$(server_serial)"
check "the controller trusts the renewed box certificate" has_text "$(as controller2 /version)" "^200 Current"

# The fleet's status report tells each refusal apart from a box that is down.
cat >"$tmp/inventory.yml" <<EOF
boxes:
  vars: {skein_ca_cert: $pki/box-ca.pem, skein_client_cert: $pki/controller2.pem,
         skein_client_key: $pki/controller2.key, skein_base_url: "https://127.0.0.1:8443"}
  hosts:
    listed: {}
    box-as-client: {skein_client_cert: $pki/server.pem, skein_client_key: $pki/server.key}
    other-ca: {skein_ca_cert: $pki/other-ca.pem}
    down: {skein_base_url: "https://127.0.0.1:8444"}
EOF
LC_ALL=C.UTF-8 ANSIBLE_HOME=$tmp/ansible ansible-playbook -i "$tmp/inventory.yml" "$fleet/status.yml" \
    -e status_report="$tmp/status" >"$tmp/status.log" 2>&1 || cat "$tmp/status.log"
check_equal "the fleet's status report tells refusals from a box that is down" \
    "TLS refused: 2|unreachable: 1|box-as-client: TLS refused: the box refused this controller's \
certificate (400 The SSL certificate error)|other-ca: TLS refused: the box's certificate was \
refused: unable to get local issuer certificate|down: unreachable: Connection refused" \
    "$(grep -E '^(TLS refused|unreachable|down|box-as-client|other-ca):' "$tmp/status" | paste -sd'|')"
LC_ALL=C.UTF-8 ANSIBLE_HOME=$tmp/ansible ansible-playbook -i "$tmp/inventory.yml" "$fleet/rollout.yml" -e version=9.9 \
    -e skein_unreachable=skip -e skein_client_cert="$pki/controller.pem" -e skein_client_key="$pki/controller.key" \
    -e skein_journal_dir="$tmp/journal" >"$tmp/rollout.log" 2>&1
check_equal "a rollout with the withdrawn certificate fails before any update, skip or not" \
    "2 refused 0" "$? $(grep -q "boxes refused this controller's certificate" "$tmp/rollout.log" && echo refused) $(
        grep -c 9.9 "$box/update.calls")"

# ---- (d) The service is on 127.0.0.1 alone ----

curl -s -o /dev/null http://127.0.0.2:8888/status
check_equal "another address of the box is refused at port 8888" 7 $?

# ---- (e) Idle clients of nginx do not hold up the service ----

idle=()
for _ in 1 2 3 4; do
    exec {fd}<>/dev/tcp/127.0.0.1/8443 && idle+=("$fd")
done
started=$(date +%s%N)
answer=$(via_nginx /version --cert "$pki/controller2.pem" --key "$pki/controller2.key" --max-time 3)
elapsed_ms=$((($(date +%s%N) - started) / 1000000))
check_equal "with ${#idle[@]} idle clients connected, the controller is answered (${elapsed_ms} ms)" \
    "200 Current version: 1.0" "$answer"
for fd in "${idle[@]}"; do exec {fd}>&-; done

check_equal "the service ran throughout" 0 "$(kill -0 "$service_pid" 2>/dev/null; echo $?)"
finish
