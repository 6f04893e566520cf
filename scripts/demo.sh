#!/bin/bash
# The main job, on a private bus: builds the daemons, nrctl and nr-testserver,
# serves the sample news of samples/flp2 from nr-testserver, configures
# flp2svc through nrctl, runs a manual content update with its progress and
# lists what the content cache then holds; a second update shows how the
# stored channels are reconciled. Both services then shut down.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/ccache}"
cmake -S . -B build -G Ninja -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
echo "building flp2svc, flp1xsvc, nrctl and nr-testserver (log: build/demo-build.log)"
cmake --build build -j"$(nproc)" --target flp2svc flp1xsvc nrctl nr-testserver >build/demo-build.log 2>&1 ||
  { tail -30 build/demo-build.log; exit 1; }

BIN="$PWD/build"
NRCTL="$BIN/tools/nrctl"
WORK="$(mktemp -d /tmp/quorvel-demo.XXXXXX)"
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

step "private bus"
dbus-daemon --session --nofork --address="unix:path=$WORK/bus" --print-address=3 3>"$WORK/bus.address" 2>"$WORK/dbus.log" &
PIDS+=($!)
for _ in $(seq 50); do [ -s "$WORK/bus.address" ] && break; sleep 0.1; done
export QUORVEL_BUS_ADDRESS="$(head -n1 "$WORK/bus.address")"
export QUORVEL_HOME="$WORK/home"
echo "QUORVEL_BUS_ADDRESS=$QUORVEL_BUS_ADDRESS"
echo "QUORVEL_HOME=$QUORVEL_HOME"

step "watching the protocol topics"
"$NRCTL" watch >"$WORK/watch.log" 2>/dev/null &
WATCH=$!
PIDS+=($WATCH)
sleep 0.5

step "nr-testserver on the sample news (samples/flp2)"
cp -r samples/flp2 "$WORK/root"
"$BIN/tools/nr-testserver" --root "$WORK/root" --port 0 --log "$WORK/requests.jsonl" >"$WORK/port" 2>"$WORK/server.log" &
PIDS+=($!)
for _ in $(seq 50); do [ -s "$WORK/port" ] && break; sleep 0.1; done
PORT="$(head -n1 "$WORK/port")"
# Assets fetched by URL point back at this server.
sed -i "s|\${SERVER}|http://127.0.0.1:$PORT|g" "$WORK/root"/*.xml
echo "listening on 127.0.0.1:$PORT; channels World, Sport and Weather, with"
echo "templates, logos, photos and excerpts to fetch by id and by URL"

step "configuring flp2svc through nrctl settings"
"$NRCTL" settings set QVCore.DCD.flp20.ServerURL "http://127.0.0.1:$PORT/dcd"
"$NRCTL" settings set QVDevice.ModelId demo-phone
"$NRCTL" settings set QVDevice.MSISDN +15550100
"$NRCTL" settings get QVCore.DCD.flp20.ServerURL
"$NRCTL" settings get QVCore.DCD.BetweenNetReq

step "starting flp2svc and flp1xsvc"
# The services pause before every asset request (BetweenNetReq, at least 10 s).
# The demo runs them with QUORVEL_SLEEP_SCALE=0.01, so a pause takes 0.1 s.
echo "QUORVEL_SLEEP_SCALE=0.01: each 10 s pause between asset requests takes 0.1 s here"
mkdir -p "$QUORVEL_HOME"
QUORVEL_SLEEP_SCALE=0.01 "$BIN/flp2/flp2svc" >"$WORK/flp2svc.log" 2>&1 &
FLP2=$!
PIDS+=($FLP2)
QUORVEL_SLEEP_SCALE=0.01 "$BIN/flp1x/flp1xsvc" >"$WORK/flp1xsvc.log" 2>&1 &
FLP1X=$!
PIDS+=($FLP1X)
for _ in $(seq 100); do
  [ "$(grep -c '/startup' "$WORK/watch.log" || true)" -ge 2 ] && break
  sleep 0.1
done
cat "$WORK/watch.log"

requests() {
  # Every request the server saw, in order, then a fresh log.
  while IFS= read -r line; do
    kind="$(sed -n 's/.*"kind":"\([^"]*\)".*/\1/p' <<<"$line")"
    path="$(sed -n 's/.*"path":"\([^"]*\)".*/\1/p' <<<"$line")"
    ids="$(sed -n 's/.*\["X-FL-Request-Id","\([^"]*\)"\].*/\1/p' <<<"$line")"
    printf '  %-15s %-26s %s\n' "$kind" "$path" "${ids:+ids: $ids}"
  done <"$WORK/requests.jsonl"
  : >"$WORK/requests.jsonl"
}

step "manual update: nrctl update flp20 --trigger man --wait"
"$NRCTL" update flp20 --trigger man --wait --timeout 60

step "what the server was asked (content update, then assets by id in threes and by URL)"
requests

step "content cache after the first update"
"$NRCTL" cache containers
"$NRCTL" cache channels
"$NRCTL" cache items
"$NRCTL" cache assets | sed "s|$QUORVEL_HOME|\$QUORVEL_HOME|"
"$NRCTL" settings list | grep RuntimeValues

step "second update: World unchanged, Sport gains an item, Weather dropped, Technology new"
"$NRCTL" update flp20 --trigger man --wait --timeout 60
requests
"$NRCTL" cache containers
"$NRCTL" cache channels

step "shutdown"
"$NRCTL" shutdown
wait "$FLP2" && echo "flp2svc exited with status 0"
wait "$FLP1X" && echo "flp1xsvc exited with status 0"
sleep 0.3
step "everything the services published"
cat "$WORK/watch.log"

# ---- FLP 1.x: flp1xsvc on the sample content of samples/flp1x, as a phone
# of its own (its own QUORVEL_HOME, so the two engines' channels stay apart).
F1="$WORK/flp1x"
f1ctl() { QUORVEL_HOME="$F1/home" "$NRCTL" "$@"; }

step "FLP 1.x: nr-testserver --mode flp1x on the sample content (samples/flp1x)"
mkdir -p "$F1/root/flp" "$F1/home"
# /flp answers "ask again at once" (a ttl of one second) with the next path
# /flp/sync?page=2, which holds the first sync: channels news, sport, weather.
cp samples/flp1x/sync-ttl1.xml "$F1/root/flp/index.xml"
grep '^X-FL-NextURI' samples/flp1x/sync-ttl1.headers | sed 's/^/header /' >"$F1/root/flp/index.xml.rules"
cp samples/flp1x/sync-first.xml "$F1/root/flp/sync"
cp samples/flp1x/assets/news-entry.xml samples/flp1x/assets/news-2.gif samples/flp1x/assets/wx.xml \
  samples/flp1x/assets/by-id.mime "$F1/root/"
# Requests by id are answered with the sample multipart body.
printf '[kind type-2]\nheader Content-Type: multipart/mixed; boundary=qv-assets-7f3a\nbody by-id.mime\n' >"$F1/rules"
"$BIN/tools/nr-testserver" --root "$F1/root" --mode flp1x --port 0 --rules "$F1/rules" \
  --log "$F1/requests.jsonl" >"$F1/port" 2>"$F1/server.log" &
PIDS+=($!)
for _ in $(seq 50); do [ -s "$F1/port" ] && break; sleep 0.1; done
F1PORT="$(head -n1 "$F1/port")"
# Assets fetched by URL point back at this server.
sed -i "s|http://flp.example|http://127.0.0.1:$F1PORT|g" "$F1/root/flp/sync"
f1ctl settings set QVCore.DCD.flp1x.ServerURL "http://127.0.0.1:$F1PORT/flp"
f1ctl settings set QVDevice.MSISDN +15550100
echo "listening on 127.0.0.1:$F1PORT; flp1xsvc's server URL is $(f1ctl settings get QVCore.DCD.flp1x.ServerURL)"

step "FLP 1.x: starting flp1xsvc (QUORVEL_HOME=\$WORK/flp1x/home; the 5 s pauses before assets take 50 ms)"
QUORVEL_HOME="$F1/home" QUORVEL_SLEEP_SCALE=0.01 "$BIN/flp1x/flp1xsvc" >"$F1/flp1xsvc.log" 2>&1 &
F1PID=$!
PIDS+=($F1PID)
for _ in $(seq 100); do grep -q 'init complete' "$F1/flp1xsvc.log" 2>/dev/null && break; sleep 0.1; done

step "FLP 1.x: manual update: nrctl update flp1x --trigger man --wait"
f1ctl update flp1x --trigger man --wait --timeout 60 || true
echo "what the server was asked:"
while IFS= read -r line; do
  kind="$(sed -n 's/.*"kind":"\([^"]*\)".*/\1/p' <<<"$line")"
  path="$(sed -n 's/.*"path":"\([^"]*\)".*/\1/p' <<<"$line")"
  ids="$(sed -n 's/.*\["X-FL-Request-Id","\([^"]*\)"\].*/\1/p' <<<"$line")"
  printf '  %-8s %-22s %s\n' "$kind" "$path" "${ids:+ids: $ids}"
done <"$F1/requests.jsonl"

step "FLP 1.x: content cache (the logo img-news-logo is on no server: it stays missing)"
f1ctl cache containers
f1ctl cache channels
f1ctl cache items
f1ctl cache assets | sed "s|$F1/home|\$WORK/flp1x/home|"
f1ctl settings list | grep -E 'AppSyncAnchor|BytesDownloaded|ItemsDownloaded'

step "FLP 1.x: a provisioning push: news reader off, new channel URLs"
cat >"$F1/provisioning.xml" <<'XML'
<?xml version="1.0"?>
<!DOCTYPE wap-provisioningdoc PUBLIC "-//WAPFORUM//DTD PROV 1.0//EN" "http://www.wapforum.org/DTD/prov.dtd">
<wap-provisioningdoc version="1.0">
  <characteristic type="APPLICATION">
    <parm name="APROTOCOL" value="OFF"/>
    <characteristic type="RESOURCE">
      <parm name="STARTPAGE" value="http://portal.example/news"/>
    </characteristic>
  </characteristic>
</wap-provisioningdoc>
XML
f1ctl push flp1x --content-type text/vnd.wap.connectivity-xml --file "$F1/provisioning.xml" --wait --timeout 30 || true
for name in QVCore.System.EnabledMode QVNewsReader.UI.AddNewChannelURL QVNewsReader.UI.DefineChannelURL \
  QVNewsReader.UI.ManageChannelURL; do
  printf '  %-34s %s\n' "$name" "$(f1ctl settings get "$name")"
done

step "FLP 1.x: shutdown"
f1ctl shutdown
wait "$F1PID" && echo "flp1xsvc exited with status 0"
