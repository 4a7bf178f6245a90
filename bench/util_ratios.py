#!/usr/bin/env python3
"""Prints each text utility's time over its peer's from util_bench's JSON output.

Usage: scripts/run32 build/release/bench/util_bench --benchmark_repetitions=5 \
         --benchmark_enable_random_interleaving=true --benchmark_format=json | bench/util_ratios.py
Ratios use each benchmark's fastest repetition (CPU time), the one least
disturbed by other load on the machine; below 1 means the utility is faster.
"""
import json
import sys

PAIRS = [
    ("BM_Stristr/near_end", "BM_Strcasestr/near_end"),
    ("BM_Stristr/absent", "BM_Strcasestr/absent"),
    ("strnicmp", "strncasecmp"),
    ("base64_encode/1024", "EVP_EncodeBlock/1024"),
    ("base64_encode/49152", "EVP_EncodeBlock/49152"),
    ("itoa/10", "snprintf/10"),
    ("itoa/10", "to_chars/10"),
    ("itoa/16", "snprintf/16"),
    ("itoa/16", "to_chars/16"),
    ("itoa/10", "to_chars_call/10"),
    ("itoa/16", "to_chars_call/16"),
]

fastest = {}
for b in json.load(sys.stdin)["benchmarks"]:
    if b.get("run_type") == "iteration":
        name = b["run_name"]
        fastest[name] = min(fastest.get(name, b["cpu_time"]), b["cpu_time"])
for ours, peer in PAIRS:
    if ours in fastest and peer in fastest:
        print(f"{ours:22} / {peer:24} {fastest[ours] / fastest[peer]:6.2f}")
