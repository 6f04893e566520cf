#!/bin/bash
# The main job, on a private bus: builds the daemons and nrctl, starts
# flp2svc and flp1xsvc with a fresh QUORVEL_HOME, shows the events they
# publish, pushes a message to each and shuts them down.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/ccache}"
cmake -S . -B build -G Ninja -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
echo "building flp2svc, flp1xsvc and nrctl (log: build/demo-build.log)"
cmake --build build -j"$(nproc)" --target flp2svc flp1xsvc nrctl >build/demo-build.log 2>&1 ||
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

step "starting flp2svc and flp1xsvc"
mkdir -p "$QUORVEL_HOME"
"$BIN/flp2/flp2svc" >"$WORK/flp2svc.log" 2>&1 &
FLP2=$!
PIDS+=($FLP2)
"$BIN/flp1x/flp1xsvc" >"$WORK/flp1xsvc.log" 2>&1 &
FLP1X=$!
PIDS+=($FLP1X)
for _ in $(seq 100); do
  [ "$(grep -c '/startup' "$WORK/watch.log" || true)" -ge 2 ] && break
  sleep 0.1
done
cat "$WORK/watch.log"

step "pushing a message for each version (no engine is built in yet, so it is answered with 0;
   both services answer a push, whatever its version)"
echo "hello" | "$NRCTL" push flp20 --content-type text/plain - --wait --timeout 10
echo "hello" | "$NRCTL" push flp1x --content-type text/plain - --wait --timeout 10

step "settings and content cache"
"$NRCTL" settings set QVDevice.ModelId demo-phone
"$NRCTL" settings list
"$NRCTL" cache containers

step "shutdown"
"$NRCTL" shutdown
wait "$FLP2" && echo "flp2svc exited with status 0"
wait "$FLP1X" && echo "flp1xsvc exited with status 0"
sleep 0.3
step "everything the services published"
cat "$WORK/watch.log"
