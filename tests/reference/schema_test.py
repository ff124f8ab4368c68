#!/usr/bin/env python3
"""The generated scenario schema against the kit itself.

Every scenario in the tree is valid by the schema and passes pikit check; and
a key the kit refuses as unknown is flagged by the schema at the same place
(the same path to the same key), so that an editor with a YAML language
server points where the kit would.

Needs python3-jsonschema and python3-yaml; without them the test is skipped
(status 77), unless PIKIT_REQUIRE_JSONSCHEMA is set (CI).
"""
import argparse
import glob
import json
import os
import re
import subprocess
import sys
import tempfile

try:
    import jsonschema
    import yaml
except ImportError as e:
    if os.environ.get("PIKIT_REQUIRE_JSONSCHEMA"):
        sys.exit(f"schema_test: {e} (install python3-jsonschema and python3-yaml)")
    print(f"schema_test: skipped: {e}")
    sys.exit(77)

# Each has one key the kit does not know, at a different depth.
UNKNOWN_KEYS = [
    "description: x\nvolume: 11\n",
    "board: {pin_call_cost: 1us, speed: 2}\n",
    "devices:\n  - {type: buzzer, volume: 11}\n",
    "devices:\n  - {type: nec-remote, glitches: {every: 50ms, often: 2}}\n",
    "devices:\n  - {type: gx2431, flip_reply: [{command: 0x0F, byte: 0, bits: 3}]}\n",
    "devices:\n  - {type: led}\n  - {type: button, name: b, pin: 22, bounce: 2}\n",
    "devices:\n  - {type: hc595, stuck: {Q8: low}}\n",
    "devices:\n  - {type: button}\nstimuli:\n  - {at: 1s, device: button, action: press, holdd: 1s}\n",
    "devices:\n  - {type: bc7278, name: k}\nstimuli:\n  - {at: 1s, device: k, action: up, key: 3, hold: 1s}\n",
]


def path_text(parts):
    out = ""
    for p in parts:
        out += f"[{p}]" if isinstance(p, int) else (f".{p}" if out else p)
    return out


def schema_unknown_keys(validator, doc):
    """Where the schema finds a key it does not allow: 'devices[0].volume'."""
    found = set()
    for e in validator.iter_errors(doc):
        for err in [e] + list(e.context or []):
            if err.validator != "additionalProperties":
                continue
            for key in re.findall(r"'([^']+)'", err.message.split("(")[-1]):
                found.add(path_text(list(err.absolute_path) + [key]))
    return found


def check(pikit, path):
    r = subprocess.run(pikit + ["check", path], capture_output=True, text=True, timeout=60)
    return r.returncode, r.stderr.splitlines()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--schema", required=True)
    ap.add_argument("--pikit", required=True, help="the pikit command")
    ap.add_argument("--emulator", default="",
                    help="what runs a program built for another machine, words joined by '|' (a cross build's qemu)")
    ap.add_argument("--source", required=True)
    args = ap.parse_args()
    pikit = [w for w in args.emulator.split("|") if w] + [args.pikit]

    schema = json.load(open(args.schema))
    jsonschema.Draft7Validator.check_schema(schema)
    validator = jsonschema.Draft7Validator(schema)
    failures = []

    scenarios = sorted(glob.glob(os.path.join(args.source, "sim/scenarios/*.yaml")) +
                       glob.glob(os.path.join(args.source, "tests/**/scenarios/*.yaml"), recursive=True))
    for f in scenarios:
        errors = [f"{path_text(e.absolute_path)}: {e.message}" for e in validator.iter_errors(yaml.safe_load(open(f)))]
        if errors:
            failures.append(f"{f}: the schema refuses a scenario of the tree: {errors}")
        status, lines = check(pikit, f)
        if status != 0:
            failures.append(f"{f}: pikit check refuses a scenario of the tree: {lines}")

    with tempfile.TemporaryDirectory() as tmp:
        for i, text in enumerate(UNKNOWN_KEYS):
            f = os.path.join(tmp, f"s{i}.yaml")
            with open(f, "w") as out:
                out.write(text)
            status, lines = check(pikit, f)
            m = re.match(re.escape(f"{f}: ") + r"(\S+): unknown setting", lines[0] if lines else "")
            if status != 2 or not m:
                failures.append(f"{text!r}: the kit does not refuse an unknown key: {status} {lines}")
                continue
            flagged = schema_unknown_keys(validator, yaml.safe_load(text))
            if m.group(1) not in flagged:
                failures.append(f"{text!r}: the kit refuses {m.group(1)}, the schema flags {sorted(flagged)}")
            else:
                print(f"both at {m.group(1)}")

    for f in failures:
        print("FAIL:", f)
    print(f"{len(scenarios)} scenarios of the tree valid, {len(UNKNOWN_KEYS)} unknown keys flagged where the kit refuses them"
          if not failures else f"{len(failures)} failure(s)")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
