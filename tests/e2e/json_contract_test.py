#!/usr/bin/python3
"""bbuctl's machine contract: every command run with --json, in success and in
each kind of failure, writes exactly one JSON document on standard output that
matches docs/bbuctl.schema.json, with "ok" true exactly on exit 0 and the
error kind the failure is of; changes made twice change nothing the second
time, and --check sends nothing that changes the BBU.

    json_contract_test.py BINDIR SCHEMA SCRATCH
"""
import json
import os
import re
import shutil
import subprocess
import sys

import jsonschema

BIN, SCHEMA, SCRATCH = (os.path.abspath(a) for a in sys.argv[1:4])
VALIDATOR = jsonschema.Draft7Validator(json.load(open(SCHEMA)))

# A change the BBU takes: a write at 0x60 (flash records), 0x54 (VPD bytes,
# beyond the one-byte address write of a read) or 0x68 (the clock), or any
# command at 0x40 but read-memory (E0).
CHANGE = re.compile(r"write 0x60 |write 0x54 [2-9]|write 0x68 |write 0x40 \d+ : (?!e0 )")



def forms():
    """The command forms bbuctl --help lists, its two-word forms spelled out
    ("reset soft|hard" is "reset soft" and "reset hard")."""
    text = subprocess.run([os.path.join(BIN, "bbuctl"), "--help"], capture_output=True,
                          text=True, check=True).stdout
    listed = text.split("Commands:\n")[1].split("\n\n")[0].splitlines()
    found = []
    for line in listed:
        words = re.split(r"\s{2,}", line.strip())[0].split()
        second = words[1] if len(words) > 1 and re.fullmatch(r"[a-z][a-z|-]*", words[1]) else ""
        found += [(words[0] + " " + w).strip() for w in second.split("|")]
    return found


FORMS = forms()


def changes(transcript):
    return [line for line in transcript.splitlines() if CHANGE.search(line)]


# name, scenario, setup (its output discarded), the bbuctl words, exit status,
# error kind (None on success), and what else must hold of (document, transcript).
CASES = [
    ("status", "", "", "--json status", 0, None,
     lambda d, t: d["firmware"] == "05.12" and d["image"] == "not-in-load" and not changes(t)),
    ("status, the device gone mid-read", "fault fail 40 read count always", "",
     "status --json", 1, "device", lambda d, t: d["error"]["holds"] == "no-answer"),
    ("usage error before --json", "", "", "--bogus status --json", 2, "usage",
     lambda d, t: d["command"] is None),
    ("usage error after --json", "", "", "--json status --bogus", 2, "usage",
     lambda d, t: d["command"] == "status"),
    ("no command", "", "", "--json", 2, "usage", None),
    ("unknown command", "", "", "nosuch --json", 2, "usage", None),
    ("json with prometheus", "", "", "status --prometheus --json", 2, "usage", None),
    ("adapter that cannot be opened", "", "", "-a /dev/i2c-9 --json status", 1, "adapter",
     lambda d, t: d["error"]["errno"] == 2),
    ("lock held past the wait", "", "", "@flock /dev/i2c-0b bbuctl --json -w 0 status", 1,
     "lock", lambda d, t: "in use by" in d["error"]["reason"]),
    ("change without -y", "", "", "--json light set 3", 2, "confirmation",
     lambda d, t: d["changed"] is False and not changes(t)),
    ("change without -y on a terminal", "", "",
     "@ASAN_OPTIONS=detect_leaks=0 script -qec 'bbuctl --json reset soft 2>/dev/null' /dev/null", 2,
     "confirmation", lambda d, t: not changes(t)),
    ("help", "", "", "--json --help", 0, None, lambda d, t: "Usage: bbuctl" in d["help"]),
    ("version", "", "", "-V --json", 0, None, lambda d, t: d["version"] != ""),
    ("vpd", "", "", "--json vpd", 0, None, lambda d, t: d["fields"]["code_level"] != ""),
    ("vpd check, bad check byte", "vpd 255 00", "", "--json vpd check", 1, "verdict",
     lambda d, t: d["check_byte_ok"] is False),
    ("vpd set-codelevel", "", "", "--json -y vpd set-codelevel Z9", 0, None,
     lambda d, t: d["changed"] and d["after"] == "Z9"),
    ("vpd set-codelevel already set", "", "bbuctl -y vpd set-codelevel Z9",
     "--json -y vpd set-codelevel Z9", 0, None,
     lambda d, t: d["changed"] is False and d["before"] == d["after"] == "Z9"),
    ("vpd set-codelevel --check", "", "", "--json vpd set-codelevel Z9 --check", 0, None,
     lambda d, t: d["would_change"] is True and d["after"] == "Z9" and not changes(t)),
    ("vpd set-codelevel, EEPROM gone", "device 54 absent", "", "--json -y vpd set-codelevel Z9",
     1, "device", lambda d, t: d["changed"] is False),
    ("light", "status 14 0x1a", "", "--json light", 0, None, lambda d, t: d["light"] == 10),
    ("light set", "", "", "--json -y light set 3", 0, None,
     lambda d, t: d["changed"] and d["after"] == 3
     and d["verified"] == ["light read back", "command accepted"]),
    ("light set already set", "status 14 0x03", "", "--json -y light set 3", 0, None,
     lambda d, t: d["changed"] is False and not changes(t)),
    ("light set --check", "", "", "--json light set 3 --check", 0, None,
     lambda d, t: d["would_change"] is True and not changes(t)),
    ("light set, command lost", "fault fail 40 write count 3", "", "--json -y light set 3", 1,
     "device", lambda d, t: d["error"]["holds"] == "old-value" and d["before"] == 0),
    ("reset soft", "", "", "--json -y reset soft", 0, None,
     lambda d, t: d["restarted"] and d["verified"] == ["restart seen"]),
    ("reset hard, no clock", "device 68 absent", "", "--json -y reset hard", 1, "device", None),
    ("flash --check", "", "bbusim-mkimage -v 6 a.img", "--json flash --check a.img", 0, None,
     lambda d, t: d["would_change"] is True and d["action"] == "load"
     and d["running_version"] == "05" and d["expected_seconds"] > 30 and not changes(t)),
    # The estimate: 30 s of fixed waits and 30 ms a block, rounded up.
    ("flash --check of 34 blocks", "", "bbusim-mkimage -v 6 -s 4352 a.img",
     "--json flash --check a.img", 0, None, lambda d, t: d["expected_seconds"] == 32),
    ("flash --check of 100 blocks", "", "bbusim-mkimage -v 6 -s 12800 a.img",
     "--json flash --check a.img", 0, None, lambda d, t: d["expected_seconds"] == 33),
    ("flash --check of 101 blocks", "", "bbusim-mkimage -v 6 -s 12801 a.img",
     "--json flash --check a.img", 0, None, lambda d, t: d["expected_seconds"] == 34),
    # The header decides what runs; the status's version only guards downgrades.
    ("flash --check, the status already at the version", "status 30 06",
     "bbusim-mkimage -v 6 -s 640 a.img", "--json flash --check a.img", 0, None,
     lambda d, t: d["action"] == "load" and d["running_version"] == "05"),
    # The header carries the image, the status another version: loaded, not skipped.
    ("flash --check, header and status disagree", "image 06\nstatus 30 05",
     "bbusim-mkimage -v 6 a.img", "--json flash --check a.img", 0, None,
     lambda d, t: d["action"] == "load" and d["running_version"] == "06"),
    ("flash, header and status disagree", "image 06\nstatus 30 05", "bbusim-mkimage -v 6 a.img",
     "--json -y flash a.img", 0, None,
     lambda d, t: d["changed"] and d["action"] == "load"
     and d["verified"] == ["header read back", "validation"]),
    ("flash", "", "bbusim-mkimage -v 6 -s 640 a.img", "--json -y flash a.img", 0, None,
     lambda d, t: d["changed"] and d["before"] == "05.12" and d["after"] == "06.12"
     and d["verified"] == ["header read back", "validation"]),
    ("flash twice", "", "bbusim-mkimage -v 6 -s 640 a.img && bbuctl -y flash a.img",
     "--json -y flash a.img", 0, None,
     lambda d, t: d["changed"] is False and d["action"] == "none" and d["after"] == "06.12"
     and d["verified"] == ["header read back", "validation"]),
    ("flash --check after the flash", "",
     "bbusim-mkimage -v 6 -s 640 a.img && bbuctl -y flash a.img", "--json flash --check a.img",
     0, None, lambda d, t: d["would_change"] is False and d["action"] == "none"),
    ("flash older", "", "bbusim-mkimage -v 4 -s 640 a.img", "--json -y flash a.img", 1,
     "downgrade", lambda d, t: d["changed"] is False and d["error"]["holds"] == "unchanged"
     and not changes(t)),
    ("flash older --check", "", "bbusim-mkimage -v 4 -s 640 a.img",
     "--json flash a.img --check", 0, None,
     lambda d, t: d["would_change"] is False and d["action"] == "refuse-downgrade"),
    ("flash older allowed", "", "bbusim-mkimage -v 4 -s 640 a.img",
     "--json -y flash --allow-downgrade a.img", 0, None, lambda d, t: d["after"] == "04.12"),
    ("flash, block never taken", "fault tfb-lost 3 count 4", "bbusim-mkimage -v 6 -s 640 a.img",
     "--json -y flash a.img", 1, "device",
     lambda d, t: d["changed"] and d["error"]["holds"] == "no-valid-image"
     and d["error"]["image"] == "not-in-load" and "verified" not in d),
    ("flash --check, image header unreadable", "memory 0x1000 00", "bbusim-mkimage -v 6 a.img",
     "--json flash --check a.img", 0, None,
     lambda d, t: d["action"] == "unknown" and d["would_change"] is None),
    # valid_image and reprogram_req in a status are shown, never taken as evidence.
    ("flash --check, valid_image clear", "status 6 08", "bbusim-mkimage -v 6 a.img",
     "--json flash --check a.img", 0, None,
     lambda d, t: d["image"] == "not-in-load" and d["would_change"] is True and not changes(t)),
    ("flash of a bad image", "", "bbusim-mkimage -v 6 -c crc a.img", "--json -y flash a.img", 1,
     "image", lambda d, t: d["changed"] is False and not changes(t)),
    ("flash of no file", "", "", "--json -y flash none.img", 1, "file",
     lambda d, t: d["error"]["errno"] == 2),
    ("validate", "", "", "--json validate", 0, None, None),
    ("validate, not valid", "validate reprogram", "", "--json validate", 1, "verdict",
     lambda d, t: d["verdict"] == "not-valid"),
    ("dump", "", "", "--json dump 0x1000 4", 0, None,
     lambda d, t: d["bytes"] == [0xfe, 0xed, 0xfa, 0xce]),
    ("dump to a file", "", "", "--json dump 0x1004 4 -o d.bin", 0, None,
     lambda d, t: d["file"] == "d.bin"),
    ("dump, responses lost", "fault fail 60 read count always", "", "--json dump 0x1000 16", 1,
     "device", None),
    ("image check", "", "bbusim-mkimage -v 7 a.img", "--json image check a.img", 0, None,
     lambda d, t: d["version"] == "07" and d["problem"] is None),
    ("image check, bad CRC", "", "bbusim-mkimage -v 7 -c crc a.img",
     "--json image check a.img", 1, "image", lambda d, t: d["crc"]["ok"] is False),
    ("decode", "", "battsnap -t 0 -b 2 -f r.bin", "--json decode r.bin", 0, None,
     lambda d, t: d["strings"] == 2),
    ("decode of a short file", "", "head -c 100 /dev/zero >r.bin", "--json decode r.bin", 1,
     "file", None),
]

# Every form's help, named as that form, with nothing sent to the BBU.
CASES += [("help of " + form, "", "", "--json %s --help" % form, 0, None,
           lambda d, t: d["help"].startswith("Usage: bbuctl") and not changes(t)) for form in FORMS]


def run(index, case):
    name, scenario, setup, words, status, kind, holds = case
    root = os.path.join(SCRATCH, "json_contract", str(index))
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(root)
    with open(os.path.join(root, "s.scn"), "w") as f:
        f.write(scenario + "\n")
    command = words[1:] if words.startswith("@") else "bbuctl " + words
    script = "cd \"$0\" && { %s; } >/dev/null 2>&1; %s" % (setup or ":", command)
    env = dict(os.environ, PATH=BIN + ":" + os.environ.get("PATH", "/usr/bin:/bin"))
    sim = subprocess.run([os.path.join(BIN, "bbusim"), "--root", root, "--scenario",
                          os.path.join(root, "s.scn"), "--", "sh", "-c", script, root],
                         env=env, capture_output=True, text=True, timeout=60)
    transcript = open(os.path.join(root, "bbusim.transcript")).read()
    # A terminal turns the document's line ends into \r\n.
    out = sim.stdout.replace("\r\n", "\n")
    try:
        doc = json.loads(out)
    except ValueError as e:
        return "not one JSON document (%s): %r" % (e, out)
    problems = [e.message for e in VALIDATOR.iter_errors(doc)]
    if sim.returncode != status:
        problems.append("exit %d, not %d" % (sim.returncode, status))
    if doc.get("ok") != (sim.returncode == 0):
        problems.append('"ok" is %r with exit %d' % (doc.get("ok"), sim.returncode))
    # The command form, the longest one the words on the line give ("light set").
    line = " %s " % command.replace("'", " ")
    named = [f for f in FORMS if " %s " % f in line]
    expected = max(named, key=len) if named else None
    if kind != "usage" and doc.get("command") != expected:
        problems.append("command %r, not %r" % (doc.get("command"), expected))
    if (doc.get("error") or {}).get("kind") != kind:
        problems.append("error kind %r, not %r" % ((doc.get("error") or {}).get("kind"), kind))
    if not problems and holds is not None and not holds(doc, transcript):
        problems.append("the document or the bus says otherwise")
    if not problems:
        return ""
    return "; ".join(problems) + "\n  stdout: " + out + "  stderr: " + sim.stderr


def main():
    failed = 0
    for index, case in enumerate(CASES):
        why = run(index, case)
        print("%s: %s" % (case[0], why or "ok"))
        failed += why != ""
    print("%d of %d cases failed" % (failed, len(CASES)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
