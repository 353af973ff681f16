#!/usr/bin/env bash
# Runs one build's CTest suite and keeps the report short: a summary when
# everything passes, the reason of every skipped test, and the full output of
# every failed test.  The whole log stays in BUILD_DIR/ctest.log.
set -u
build=${1:?usage: run_ctest.sh BUILD_DIR [JOBS] [ctest options...]}
jobs=${2:-2}
shift $(($# < 2 ? $# : 2))
build=$(cd "$build" && pwd)
log=$build/ctest.log
junit=$build/ctest-junit.xml

(cd "$build" && ctest -j "$jobs" --output-on-failure --output-junit "$junit" "$@") >"$log" 2>&1
status=$?

if [ "$status" -ne 0 ]; then
  # Everything but the per-test start and pass lines: the failures in full.
  grep -v -E '^ *Start +[0-9]+:|Test +#[0-9]+: .* +Passed +' "$log"
else
  grep -E 'tests passed|Total Test time' "$log" | sed "s|^|$(basename "$build"): |"
fi

# Why each skipped test was skipped: the last line it printed that says so.
python=/usr/bin/python3
[ -x "$python" ] || python=python3
"$python" - "$junit" <<'PY' || grep -E '\(Skipped\)|Not Run' "$log"
import sys, xml.etree.ElementTree as ET
try:
    cases = ET.parse(sys.argv[1]).getroot().iter("testcase")
except (OSError, ET.ParseError):
    sys.exit(1)
groups = {}
for case in cases:
    if case.find("skipped") is None:
        continue
    out = [l.strip() for l in (case.findtext("system-out") or "").splitlines() if l.strip()]
    # GoogleTest prints "file:line: Skipped" and the message on the next line.
    reasons = [out[i + 1] for i, l in enumerate(out[:-1]) if l.endswith(": Skipped")]
    reasons += [l for l in out if "skip" in l.lower() and not l.endswith(": Skipped")
                and "[  SKIPPED ]" not in l]
    reason = reasons[0] if reasons else (out[-1] if out else "no reason given")
    # Parameterised names carry "  # GetParam() = ..." after the name.
    groups.setdefault(reason, []).append(case.get("name").split("  #")[0])
for reason, names in groups.items():
    shown = ", ".join(names[:3]) + (f" and {len(names) - 3} more" if len(names) > 3 else "")
    print(f"  skipped {len(names)} ({shown}): {reason}")
PY
exit "$status"
