#!/usr/bin/env python3
"""Job state for snakemake --cluster-status: prints running, success or failed.

A job that SLURM ends (time limit, memory, node failure) never reports back by
itself; without this the workflow would wait for it forever. A job that SLURM
no longer knows at all (no accounting, and the controller has forgotten it)
reads "success": snakemake then checks the job's outputs, which is the only
evidence left, instead of waiting for ever.
"""
import subprocess
import sys

RUNNING = {"PENDING", "CONFIGURING", "RUNNING", "COMPLETING", "SUSPENDED", "REQUEUED", "RESIZING",
           "REQUEUE_HOLD", "REQUEUE_FED", "STAGE_OUT", "SIGNALING", "RESV_DEL_HOLD", "SPECIAL_EXIT"}


def run(command):
    """(exit status, standard output, standard error); status None when the command is missing."""
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired):
        return None, "", ""
    return done.returncode, done.stdout, done.stderr


def state(job):
    status, out, _ = run(["sacct", "-j", job, "-X", "-n", "-P", "-o", "State"])
    states = out.split() if status == 0 else []
    if states:
        return states[0].rstrip("+")
    # Not in the accounting (yet, or at all): ask the controller.
    status, out, err = run(["scontrol", "show", "job", job])
    if status == 0 and "JobState=" in out:
        return out.split("JobState=")[1].split()[0]
    if status is not None and "Invalid job id" in out + err:
        return "UNKNOWN"
    # The controller did not answer: ask again later.
    return "PENDING"


def verdict(name):
    if name in ("COMPLETED", "UNKNOWN"):
        return "success"
    return "running" if name in RUNNING else "failed"


if __name__ == "__main__":
    print(verdict(state(sys.argv[1].split(";")[0])))
