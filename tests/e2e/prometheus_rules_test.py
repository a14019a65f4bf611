#!/usr/bin/python3
"""The alert rules of contrib/prometheus/bbu-alerts.yml against what bbuctl
status --prometheus writes: for a good read, a read with an error bit, each
way the status can fail to be read (the read, the adapter, its lock, a usage
error) and a file no longer written, the file bbuctl wrote (each checked by
promtool check metrics) is fed to promtool test rules as the series of ten
minutes of scrapes, and exactly the alerts the case calls for must fire.

    prometheus_rules_test.py BINDIR RULES SCRATCH PROMTOOL
"""
import json
import os
import re
import shutil
import subprocess
import sys

BIN, RULES, SCRATCH, PROMTOOL = sys.argv[1:5]
INSTANCE = "bbu-host"
FILE = "/var/lib/prometheus/node-exporter/bbu.prom"
UNREADABLE = ("BBUStatusUnreadable", {},
              "BBU on %s: status not readable for 5 minutes" % INSTANCE)

# name, scenario, bbuctl's shell line, the file's age stays (stale), the alerts expected.
CASES = [
    ("good read", "", "bbuctl status --prometheus", False, []),
    ("error bit", "status 5 0x01", "bbuctl status --prometheus", False,
     [("BBUErrorBit", {"byte": "5", "name": "checksum_error"},
       "BBU on %s: error bit checksum_error (status byte 5)" % INSTANCE)]),
    ("read failed", "device 40 absent", "bbuctl status --prometheus", False, [UNREADABLE]),
    ("adapter", "", "bbuctl -a /dev/i2c-9 status --prometheus", False, [UNREADABLE]),
    ("lock", "", "flock /dev/i2c-0b bbuctl -w 0 status --prometheus", False, [UNREADABLE]),
    ("usage", "", "bbuctl status --prometheus --bogus", False, [UNREADABLE]),
    ("stale", "", "bbuctl status --prometheus", True,
     [("BBUStatusStale", {"file": FILE},
       "BBU on %s: status file not written for 5 minutes" % INSTANCE)]),
]
ALERTS = ["BBUStatusUnreadable", "BBUStatusStale", "BBUErrorBit", "BBUBatteryNotOK"]
SAMPLE = re.compile(r"^([a-z_]+)(?:\{(.*)\})? (\S+)$")


def exposition(index, scenario, line):
    root = os.path.join(SCRATCH, "prometheus_rules", str(index))
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(root)
    with open(os.path.join(root, "s.scn"), "w") as f:
        f.write(scenario + "\n")
    env = dict(os.environ, PATH=BIN + ":" + os.environ.get("PATH", "/usr/bin:/bin"))
    out = os.path.join(root, "bbu.prom")
    subprocess.run([os.path.join(BIN, "bbusim"), "--root", root, "--scenario",
                    os.path.join(root, "s.scn"), "--", "sh", "-c", line + " >" + out],
                   env=env, stderr=subprocess.DEVNULL, timeout=60)
    subprocess.run([PROMTOOL, "check", "metrics"], stdin=open(out), check=True)
    return open(out).read()


def series(text, stale):
    """Each sample of the file, scraped once a minute for 20 minutes."""
    found = [{"series": 'node_textfile_mtime_seconds{instance="%s",file="%s"}' % (INSTANCE, FILE),
              "values": "0+0x20" if stale else "0+60x20"}]
    for line in text.splitlines():
        match = SAMPLE.match(line)
        if match:
            name, labels, value = match.groups()
            labels = ",".join(filter(None, [labels, 'instance="%s"' % INSTANCE]))
            found.append({"series": "%s{%s}" % (name, labels), "values": "%s+0x20" % value})
    return found


def test(index, case):
    name, scenario, line, stale, expected = case
    fired = {alert: [] for alert in ALERTS}
    for alert, labels, summary in expected:
        fired[alert].append({"exp_labels": dict(labels, instance=INSTANCE),
                             "exp_annotations": {"summary": summary}})
    return {"name": name, "interval": "1m",
            "input_series": series(exposition(index, scenario, line), stale),
            "alert_rule_test": [{"eval_time": "10m", "alertname": alert, "exp_alerts": alerts}
                                for alert, alerts in fired.items()]}


def main():
    tests = {"rule_files": [os.path.abspath(RULES)], "evaluation_interval": "1m",
             "tests": [test(i, case) for i, case in enumerate(CASES)]}
    path = os.path.join(SCRATCH, "prometheus_rules", "tests.yml")
    with open(path, "w") as f:
        json.dump(tests, f, indent=1)  # JSON is YAML
    return subprocess.run([PROMTOOL, "test", "rules", path]).returncode


if __name__ == "__main__":
    sys.exit(main())
