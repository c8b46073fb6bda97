#!/usr/bin/env bash
# Cuts the power at each flash operation of a module's start-up in turn, and shows what the next
# start-up says after each cut.
#
#   bash scripts/power-sweep.sh MODULE [--op program|erase|any|write] [--tear bits|half] [--seed S]
#                               [--from N] [--to N]
#
# For n = --from (1), 2, 3 ...: MODULE is copied (flash image included) into a scratch folder, its
# module.json gets "faults": {"power_cut": {"at": n, ...}} in "flash", and `kalvori sim` runs the
# start-up on it until the power goes; the fault is then taken out and `kalvori sim` runs the next
# start-up on what the cut left. One line per cut gives the next start-up's debug output; the sweep
# ends at the first n the start-up does not reach (or at --to). MODULE itself is never changed.
# --op any (the default) counts programs and erases; on NOR "write" counts every bus write. Each cut
# tears with seed S + n (default S = 1). Needs python3 to edit the copies' module.json.
set -euo pipefail

usage() { sed -n '4,5p' "$0" | sed 's/^# *//'; exit 2; }

[ $# -ge 1 ] || usage
module=$1
shift
op=any tear=bits seed=1 from=1 to=0
while [ $# -gt 0 ]; do
  case $1 in
    --op) op=${2:?}; shift 2 ;;
    --tear) tear=${2:?}; shift 2 ;;
    --seed) seed=${2:?}; shift 2 ;;
    --from) from=${2:?}; shift 2 ;;
    --to) to=${2:?}; shift 2 ;;
    *) usage ;;
  esac
done
[ -f "$module/module.json" ] || { echo "power-sweep: $module has no module.json" >&2; exit 2; }

root=$(cd "$(dirname "$0")/.." && pwd)
kalvori=${KALVORI:-$root/build/dev/tools/kalvori}
if [ ! -x "$kalvori" ]; then
  (cd "$root" && cmake --preset dev >/dev/null && cmake --build --preset dev --target kalvori >/dev/null)
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Sets (or with "none", removes) flash.faults.power_cut in a module.json; // comment lines dropped.
set_cut() {
  python3 - "$@" <<'PY'
import json, sys
path, at, op, tear, seed = sys.argv[1:]
lines = [l for l in open(path).read().split("\n") if not l.lstrip().startswith("//")]
d = json.loads("\n".join(lines))
faults = d.setdefault("flash", {}).setdefault("faults", {})
if at == "none":
    faults.pop("power_cut", None)
else:
    faults["power_cut"] = {"at": int(at), "op": op, "tear": tear, "seed": int(seed)}
json.dump(d, open(path, "w"), indent=2)
PY
}

# The launcher's debug output of a run, one line, without the simulator's own lines.
said() { grep -v '^\[sim\]\|^kalvori sim:\|^---\|^[a-z ]*:  *[0-9]*$\|^ *[0-9.]* s ' <<<"$1" | grep -v '^$' | paste -sd'|' - | sed 's/|/ | /g'; }

n=$from
while [ "$to" -eq 0 ] || [ "$n" -le "$to" ]; do
  rm -rf "$work/module"
  cp -r "$module" "$work/module"
  set_cut "$work/module/module.json" "$n" "$op" "$tear" "$((seed + n))"
  cut=$("$kalvori" sim "$work/module" --virtual-time </dev/null 2>&1) || true
  if ! grep -q "lost power" <<<"$cut"; then
    echo "the start-up has $((n - 1)) operations of kind $op; the sweep ends"
    break
  fi
  set_cut "$work/module/module.json" none x x 0
  next=$("$kalvori" sim "$work/module" --virtual-time </dev/null 2>&1) || true
  echo "cut $n: $(said "$next")"
  n=$((n + 1))
done
