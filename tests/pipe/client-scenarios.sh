#!/usr/bin/env bash
# client-scenarios.sh SCENARIO: the real ZARVOCTL.exe against the real pipe
# server, run by pipe-host.exe over two simulated transceivers.
#   replies       answers, and what the argument conversions send
#   no-server     refused connection; usage and over-long host name try none
#   busy          a fifth client waits while four are connected, then is served
#   busy-too-long a fifth client gives up after 20 s while four stay busy
#   idle-clients  four connections that send nothing: the longest idle is
#                 closed after 10 s, and a fifth client gets in
#   no-reply      a server that never answers: the client gives up after
#                 30 s and says so
#   impostor      a program that holds the pipe name is not owned by
#                 LocalSystem: the client says so and sends nothing
#   odd-replies   replies without a NUL, or longer than the client's buffer,
#                 from a stand-in server: printed bounded and joined
#   early-end     a server that cannot create all four instances closes the
#                 ones it made, so clients are refused instead of left waiting
source "$(dirname "$0")/lib.sh"
scenario=$1
work_dir "pipe-$scenario" ZARVOCTL.exe pipe-host.exe pipe-probe.exe

# FS20 send frames for house code 1111 1111, address 1111, command 17 (all
# notation bytes 0), without and with the data byte 0xFF.
frame_no_data="81 09 04 15 02 01 01 00 00 00 11"
frame_data_ff="81 0A 04 14 02 01 01 00 00 00 11 FF"

case $scenario in
replies)
  start host pipe-host.exe 2 150 host.stop
  wait_line host.out "pipe server ready" 30 || exit 1
  ctl a.txt . 0 1111 1111 1111 17
  { banner; printf 'OK\n'; } | expect_file a.txt "transceiver 0 answers OK"
  # 256 is iid 0, -1 is data 255.
  ctl b.txt . 256 1111 1111 1111 17 -1
  { banner; printf 'OK\n'; } | expect_file b.txt "iid 256 reaches transceiver 0"
  # A word is 0; hc1 66647 keeps its low 16 bits (1111); cmd 273 is 17, data 256 is 0.
  ctl c.txt . word 66647 1111 1111 273 256
  { banner; printf 'OK\n'; } | expect_file c.txt "a word as iid reaches transceiver 0"
  ctl d.txt . 1 1111 1111 1111 17 -1
  { banner; printf 'OK\n'; } | expect_file d.txt "transceiver 1 answers OK"
  ctl e.txt . 2 1111 1111 1111 17
  { banner; printf 'ZARVO device not found.\n'; } | expect_file e.txt "iid 2 is beyond the table"
  ctl f.txt . -1 1111 1111 1111 17
  { banner; printf 'ZARVO device not found.\n'; } | expect_file f.txt "iid -1 is 255, beyond the table"
  # Six arguments after a request with a data byte: data 0 again.
  ctl g.txt . 1 1111 1111 1111 17
  { banner; printf 'OK\n'; } | expect_file g.txt "six arguments answer OK"
  stop_host
  expect_grep host.txt "transceiver 0: frames 3" "transceiver 0 got three frames"
  expect_grep host.txt "transceiver 0 frame 1: $frame_no_data" "six arguments send data 0"
  expect_grep host.txt "transceiver 0 frame 2: $frame_data_ff" "iid 256 is 0, data -1 is 255"
  expect_grep host.txt "transceiver 0 frame 3: $frame_no_data" \
    "a word is 0, hc1 66647 is 1111, cmd 273 is 17, data 256 is 0"
  expect_grep host.txt "transceiver 1: frames 2" "transceiver 1 got two frames"
  expect_grep host.txt "transceiver 1 frame 1: $frame_data_ff" "seven arguments send the data byte"
  expect_grep host.txt "transceiver 1 frame 2: $frame_no_data" "six arguments after seven send data 0"
  ;;
no-server)
  ctl a.txt . 0 1111 1111 1111 17
  { banner; printf 'Failed to connect. Error 2\n'; } | expect_file a.txt "no server: error 2"
  ctl b.txt . 0 1111 1111 1111
  { banner; usage_text; } | expect_file b.txt "five arguments: usage, no connection tried"
  ctl c.txt . 0 1111 1111 1111 17 0 9
  { banner; usage_text; } | expect_file c.txt "eight arguments: usage, no connection tried"
  ctl d.txt
  { banner; usage_text; } | expect_file d.txt "no arguments: usage"
  long=$(printf 'h%.0s' $(seq 239))
  ctl e.txt "$long" 0 1111 1111 1111 17
  { banner; printf 'The <ip> argument is too long: at most 238 characters.\n'; } |
    expect_file e.txt "over-long host name: message, no connection tried"
  ;;
busy)
  start host pipe-host.exe 2 150 host.stop
  wait_line host.out "pipe server ready" 30 || exit 1
  start probe pipe-probe.exe hold-clients 4 probe.stop
  wait_line probe.out "holding 4" 30 || exit 1
  timeout 60 wine ZARVOCTL.exe . 0 1111 1111 1111 17 >fifth.raw 2>&1 </dev/null &
  fifth=$!
  sleep 2
  if kill -0 "$fifth" 2>/dev/null; then
    echo "ok: the fifth client waits while four are connected"
  else
    echo "FAIL: the fifth client ended while all four instances were held"; cat fifth.raw
    failures=$((failures + 1))
  fi
  touch probe.stop
  wait "$fifth"
  echo "fifth client exit code $?"
  tr -d '\r' <fifth.raw >fifth.txt
  { banner; printf 'OK\n'; } | expect_file fifth.txt "the fifth client is served once an instance frees"
  stop_host
  expect_grep host.txt "transceiver 0: frames 1" "its command was relayed"
  ;;
busy-too-long)
  start host pipe-host.exe 2 150 host.stop
  wait_line host.out "pipe server ready" 30 || exit 1
  start probe pipe-probe.exe busy-clients 4 probe.stop
  wait_line probe.out "holding 4" 30 || exit 1
  timed_ctl fifth.txt 19 60 . 0 1111 1111 1111 17
  { banner; printf 'Too many simultanious connections.'; } |
    expect_file fifth.txt "no instance free within 20 s: message without line break"
  ;;
idle-clients)
  start host pipe-host.exe 2 150 host.stop
  wait_line host.out "pipe server ready" 30 || exit 1
  start probe pipe-probe.exe hold-clients 4 probe.stop
  wait_line probe.out "holding 4" 30 || exit 1
  # The idle connections are closed after 10 s.
  timed_ctl fifth.txt 7 18 . 0 1111 1111 1111 17
  { banner; printf 'OK\n'; } | expect_file fifth.txt "a fifth client is served once the longest idle connection is closed"
  touch probe.stop
  stop_host
  expect_grep host.txt "transceiver 0: frames 1" "its command was relayed"
  ;;
no-reply)
  start probe pipe-probe.exe mute
  wait_line probe.out "holding 1" 30 || exit 1
  timed_ctl a.txt 29 45 . 0 1111 1111 1111 17
  { banner; printf 'No reply from the service within 30 seconds.\n'; } |
    expect_file a.txt "a server that never answers: the client says so"
  wait "$probe_pid"
  ;;
impostor)
  start probe pipe-probe.exe impostor
  wait_line probe.out "holding 1" 30 || exit 1
  ctl a.txt . 0 1111 1111 1111 17
  wait "$probe_pid"
  { banner; printf 'Refused: the pipe is not owned by LocalSystem, so it is not the ZARVO Remote service; nothing was sent.\n'; } |
    expect_file a.txt "the client refuses a pipe that LocalSystem does not own"
  tr -d '\r' <probe.out >probe.txt
  expect_grep probe.txt "released, received 0 bytes" "and sends it nothing"
  ;;
odd-replies)
  letters() { awk -v n="$1" 'BEGIN { for (i = 0; i < n; i++) printf "%c", 65 + i % 26; printf "\n" }'; }
  # answer N: N letters, NUL, "XYZ"; answer-open N: N letters and nothing else.
  # 600 units without NUL span two reads; 1500 units with one span three.
  for reply in "answer 3" "answer 0" "answer-open 5" "answer-open 0" \
               "answer-open 600" "answer 1500"; do
    set -- $reply
    start probe pipe-probe.exe "$1" "$2"
    wait_line probe.out "holding 1" 30 || exit 1
    ctl reply.txt . 0 1111 1111 1111 17
    wait "$probe_pid"
    { banner; letters "$2"; } | expect_file reply.txt "reply '$reply' is printed up to its end, in one line"
  done
  ;;
early-end)
  # Two instances of the name exist already, so the server's third creation
  # fails and its thread ends.
  start probe pipe-probe.exe hold-instances 2 probe.stop
  wait_line probe.out "holding 2" 30 || exit 1
  start host pipe-host.exe 2 150 host.stop
  wait_line host.out "pipe server ended at start" 30 || exit 1
  touch probe.stop
  wait_line probe.out "released" 30 || exit 1
  # Had the server left its two instances open, this client would connect
  # and wait for ever for a reply.
  ctl a.txt . 0 1111 1111 1111 17
  { banner; printf 'Failed to connect. Error 2\n'; } |
    expect_file a.txt "the ended server's instances are closed: error 2"
  if kill -0 "$last_pid" 2>/dev/null; then echo "ok: the host process still runs"; else
    echo "FAIL: the host process ended"; failures=$((failures + 1)); fi
  ;;
*)
  echo "unknown scenario $scenario"; exit 2 ;;
esac
finish
