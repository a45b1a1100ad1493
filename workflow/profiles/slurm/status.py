#!/usr/bin/env python3
"""Job state for snakemake --cluster-status: prints running, success or failed.

A job that SLURM ends (time limit, memory, node failure) never reports back by
itself; without this the workflow would wait for it forever.
"""
import subprocess
import sys

job = sys.argv[1].split(";")[0]
RUNNING = {"PENDING", "CONFIGURING", "RUNNING", "COMPLETING", "SUSPENDED", "REQUEUED", "RESIZING"}
try:
    out = subprocess.run(["sacct", "-j", job, "-X", "-n", "-P", "-o", "State"],
                         capture_output=True, text=True, check=True).stdout.split()
except (OSError, subprocess.CalledProcessError):
    out = []
if not out:  # not in the accounting yet, or sacct unavailable: ask the controller
    try:
        line = subprocess.run(["scontrol", "show", "job", job], capture_output=True, text=True, check=True).stdout
        out = [line.split("JobState=")[1].split()[0]] if "JobState=" in line else ["RUNNING"]
    except (OSError, subprocess.CalledProcessError):
        out = ["RUNNING"]
state = out[0].split()[0].rstrip("+")
print("success" if state == "COMPLETED" else "running" if state in RUNNING else "failed")
