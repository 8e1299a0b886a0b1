#!/usr/bin/env python3
# Scans a TLS port of the server with Debian's testssl.sh: protocols, cipher categories,
# server defaults and the known vulnerabilities. Fails on any finding rated HIGH or CRITICAL,
# except those about the certificate itself (a throwaway authority no store trusts, without
# revocation service: that judges the test's PKI, not the server), and unless TLS 1.0 and
# 1.1 (and SSL) are refused.
import argparse
import json
import os
import subprocess
import sys
import tempfile

IGNORED_PREFIXES = ("cert_", "scanTime", "scanProblem")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--driver", required=True)
    parser.add_argument("--testssl", default="/usr/bin/testssl")
    args = parser.parse_args()
    if not os.access(args.testssl, os.X_OK):
        print("testssl.sh is not installed (scripts/setup.sh installs it)")
        return 1
    driver = subprocess.Popen([args.driver], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              text=True)
    try:
        line = driver.stdout.readline().split()
        if len(line) != 2:
            print("the driver did not start")
            return 1
        port = line[0]
        with tempfile.TemporaryDirectory() as tmp:
            report = os.path.join(tmp, "report.json")
            subprocess.run([args.testssl, "--quiet", "--color", "0", "--warnings", "batch",
                            "--protocols", "--std", "--server-defaults", "--vulnerable",
                            "--ip", "one", "--jsonfile", report, "127.0.0.1:" + port],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=200,
                           check=False)
            with open(report) as f:
                findings = json.load(f)
    finally:
        driver.stdin.close()
        try:
            driver.wait(timeout=20)
        except subprocess.TimeoutExpired:
            driver.kill()
    by_id = {f["id"]: f for f in findings}
    bad = [f for f in findings
           if f["severity"] in ("HIGH", "CRITICAL") and not f["id"].startswith(IGNORED_PREFIXES)]
    for proto in ("SSLv2", "SSLv3", "TLS1", "TLS1_1"):
        f = by_id.get(proto)
        if f is None or "not offered" not in f["finding"]:
            bad.append({"id": proto, "severity": "-", "finding": f["finding"] if f else "missing"})
    for proto in ("TLS1_2", "TLS1_3"):
        f = by_id.get(proto)
        if f is None or not f["finding"].startswith("offered"):
            bad.append({"id": proto, "severity": "-", "finding": f["finding"] if f else "missing"})
    print("%d findings, %d refused" % (len(findings), len(bad)))
    for f in bad:
        print("  %s [%s]: %s" % (f["id"], f["severity"], f["finding"]))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
