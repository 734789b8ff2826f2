#!/usr/bin/env bash
# The installed tree works: `cmake --install` with DESTDIR into a scratch
# directory, then the installed qax runs a simulated hour against the
# installed emulator module (found from the executable's directory, not the
# build tree), stops with 15 on the scenario's SIGTERM, and the installed
# qax-aim reads what it published. Usage: install_tree.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d /tmp/qax-install-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
DESTDIR=$work/dest cmake --install "$build" >/dev/null
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
tree=$work/dest$prefix
qax=$(find "$tree" -path '*bin/qax' -type f | head -n 1)
aim=$(find "$tree" -path '*bin/qax-aim' -type f | head -n 1)
[ -x "$qax" ] && [ -x "$aim" ] || { echo "qax or qax-aim not installed under $tree"; exit 1; }
for f in qax.service qax@.service qax.8.gz qax-aim.1.gz qax-psu.1.gz README.md copyright; do
    [ -n "$(find "$work/dest" -name "$f" | head -n 1)" ] || { echo "not installed: $f"; exit 1; }
done

export QAX_ROOT=$work/root QAX_IPMI=sim QAX_CLOCK=virtual QAX_CLOCK_START=1798761600 QAX_SIM_SEED=1 TZ=UTC
unset QAX_SIM_MODULE
mkdir -p "$QAX_ROOT"
{ cat "$source/sim/scenarios/default.scn"; echo; echo "at 3600 sigterm"; } > "$work/hour.scn"
status=0
QAX_SIM_SCENARIO=$work/hour.scn timeout 120 "$qax" >"$work/out" 2>&1 || status=$?
if [ $status -ne 15 ]; then
    echo "installed qax exited with $status, not 15:"
    tail -n 20 "$work/out"
    exit 1
fi
"$aim" get QAX_total_dc_power_in_use_Avg
# Without its module the emulator is refused, not faked. (A statically
# linked qax carries the emulator inside: nothing to refuse.)
if ! ldd "$qax" >/dev/null 2>&1; then
    echo "installed tree: ok (statically linked)"
    exit 0
fi
QAX_SIM_MODULE=$work/missing.so QAX_SIM_SCENARIO=$work/hour.scn timeout 60 "$qax" -d >"$work/out2" 2>&1 &
pid=$!
for _ in $(seq 200); do
    grep -q "cannot load the firmware emulator" "$work/out2" && break
    sleep 0.05
done
kill -TERM "$pid" 2>/dev/null || true
wait "$pid" || true
grep "cannot load the firmware emulator" "$work/out2"
echo "installed tree: ok"
