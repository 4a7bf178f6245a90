#!/usr/bin/env python3
"""Prints each text utility's guest instructions and time over its peer's from
util_bench's JSON output, instruction ratios first.

Usage: bash scripts/bench.sh util_bench --benchmark_repetitions=3 \
         --benchmark_out=util.json --benchmark_out_format=json
       bench/util_ratios.py util.json
(util_bench prints the same table for a single run at the end of its output.)
Instruction counts come from the counter under qemu (scripts/bench.sh) and are
the same in every repetition; time ratios use each benchmark's fastest
repetition (CPU time) and, under the counter, are emulated times. Below 1
means the utility takes fewer instructions or less time than its peer.
"""
import json
import sys

PAIRS = [
    ("stristr, needle near end", "BM_Stristr/near_end", "BM_Strcasestr/near_end"),
    ("stristr, needle absent", "BM_Stristr/absent", "BM_Strcasestr/absent"),
    ("strnicmp, header names", "strnicmp/names", "strncasecmp/names"),
    ("strnicmp, 45-char line", "strnicmp/line", "strncasecmp/line"),
    ("strnicmp, 256 chars", "strnicmp/long", "strncasecmp/long"),
    ("UrlUnencode, queries", "url_unencode", "plain_url_decode"),
    ("Base64, 20 bytes", "base64_encode/20", "EVP_EncodeBlock/20"),
    ("Base64, 1 KiB", "base64_encode/1024", "EVP_EncodeBlock/1024"),
    ("Base64, 48 KiB", "base64_encode/49152", "EVP_EncodeBlock/49152"),
    ("itoa / snprintf, base 10", "itoa/10", "snprintf/10"),
    ("itoa / snprintf, base 16", "itoa/16", "snprintf/16"),
    ("itoa / to_chars called, base 10", "itoa/10", "to_chars_call/10"),
    ("itoa / to_chars called, base 16", "itoa/16", "to_chars_call/16"),
    ("itoa / to_chars inlined, base 10", "itoa/10", "to_chars/10"),
    ("itoa / to_chars inlined, base 16", "itoa/16", "to_chars/16"),
]

fastest = {}
insn = {}
with open(sys.argv[1]) if len(sys.argv) > 1 else sys.stdin as source:
    benchmarks = json.load(source)["benchmarks"]
for b in benchmarks:
    if b.get("run_type") == "iteration":
        name = b["run_name"]
        fastest[name] = min(fastest.get(name, b["cpu_time"]), b["cpu_time"])
        if "insn" in b:
            insn[name] = b["insn"]
print(f"{'utility / peer':34} {'insn ratio':>10} {'time ratio':>10}")
for label, ours, peer in PAIRS:
    if ours not in fastest or peer not in fastest:
        continue
    insn_ratio = f"{insn[ours] / insn[peer]:10.2f}" if ours in insn and peer in insn else f"{'-':>10}"
    print(f"{label:34} {insn_ratio} {fastest[ours] / fastest[peer]:10.2f}")
