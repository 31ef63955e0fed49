# A mosquitto broker for the MQTT bridge's scenarios: on 127.0.0.1 on a free
# port, with a password file and no anonymous access, started and stopped
# by the scenario itself (Wine's programs reach 127.0.0.1 on the Linux
# side). mosquitto_sub and mosquitto_pub play the broker's other clients.
# Sourced after lib.sh.
#
#   broker_start DIR      makes DIR's password file (user zarvo, password
#                         $broker_password) and starts the broker; sets
#                         broker_port
#   broker_stop           kills it (as a crash would: no goodbye)
#   broker_restart        starts it again on the same port
#   sub OUT TOPIC...      a subscriber in the background, every message as
#                         "<retain flag> <topic> <payload>" in OUT, the flag
#                         as it was published (MQTT 5's retain as published:
#                         3.1.1 clears it on live messages); sets sub_pid
#   pub ARGS...           mosquitto_pub with the broker's address and user
#   retained TOPIC...     prints the retained messages on TOPIC (filters) as
#                         "<topic> <payload>", waiting a second for them
broker_user=zarvo
broker_password='s3cret pass'
broker_dir=
broker_pid=
broker_port=

free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

broker_start() {
  broker_dir=$1
  mkdir -p "$broker_dir"
  : >"$broker_dir/passwords"
  mosquitto_passwd -b "$broker_dir/passwords" "$broker_user" "$broker_password" || return 1
  chmod 0644 "$broker_dir/passwords"
  broker_port=$(free_port)
  cat >"$broker_dir/mosquitto.conf" <<CONF
listener $broker_port 127.0.0.1
allow_anonymous false
password_file $broker_dir/passwords
persistence false
log_dest stderr
log_type all
connection_messages true
CONF
  broker_restart
}

broker_restart() {
  mosquitto -c "$broker_dir/mosquitto.conf" >>"$broker_dir/mosquitto.log" 2>&1 &
  broker_pid=$!
  local i
  for i in $(seq 50); do
    mosquitto_pub -h 127.0.0.1 -p "$broker_port" -u "$broker_user" -P "$broker_password" -t zarvo-test/up -n \
      >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "FAIL: the broker did not start"; cat "$broker_dir/mosquitto.log"
  return 1
}

# Safe under set -e: the demo and the benchmark call it from their traps.
broker_stop() {
  [ -n "$broker_pid" ] || return 0
  local pid=$broker_pid
  broker_pid=
  kill -9 "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

pub() { mosquitto_pub -h 127.0.0.1 -p "$broker_port" -u "$broker_user" -P "$broker_password" "$@"; }

sub() {
  local out=$1; shift
  local args=() t
  for t in "$@"; do args+=(-t "$t"); done
  mosquitto_sub -h 127.0.0.1 -p "$broker_port" -u "$broker_user" -P "$broker_password" -q 1 \
    -V mqttv5 --retain-as-published -F '%r %t %p' "${args[@]}" >>"$out" 2>&1 &
  sub_pid=$!
}

retained() {
  local args=() t
  for t in "$@"; do args+=(-t "$t"); done
  mosquitto_sub -h 127.0.0.1 -p "$broker_port" -u "$broker_user" -P "$broker_password" --retained-only \
    -W 2 -F '%t %p' "${args[@]}" 2>/dev/null
  return 0
}
