"""status_test.py STATUS_SCRIPT: the SLURM profile's job-state answers against
stand-in sacct and scontrol commands."""
import os
import subprocess
import sys
import tempfile

status_script = sys.argv[1]
INVALID = "slurm_load_jobs error: Invalid job id specified"
DOWN = "slurm_load_jobs error: Unable to contact slurm controller (connect failure)"
# sacct (status, stdout), scontrol (status, stdout, stderr); None: command absent.
CASES = [
    ("completed", (0, "COMPLETED\n"), None, "success"),
    ("running", (0, "RUNNING\n"), None, "running"),
    ("cancelled by a user", (0, "CANCELLED by 1000\n"), None, "failed"),
    ("time limit", (0, "TIMEOUT\n"), None, "failed"),
    ("out of memory", (0, "OUT_OF_MEMORY\n"), None, "failed"),
    ("requeued, flagged", (0, "REQUEUED+\n"), None, "running"),
    ("not yet accounted", (0, ""), (0, "JobId=7 JobName=x\n   JobState=PENDING Reason=None\n", ""), "running"),
    ("no accounting, controller knows", (1, ""), (0, "JobId=7\n   JobState=COMPLETED Reason=None\n", ""), "success"),
    ("no accounting, controller failed it", (1, ""), (0, "JobId=7\n   JobState=FAILED Reason=x\n", ""), "failed"),
    ("forgotten by both", (0, ""), (1, "", INVALID), "success"),
    ("no sacct, forgotten", None, (1, "", INVALID), "success"),
    ("controller unreachable", (1, ""), (1, "", DOWN), "running"),
    ("no SLURM commands at all", None, None, "running"),
]


failures = []
for name, sacct, scontrol, expected in CASES:
    with tempfile.TemporaryDirectory() as folder:
        for command, behaviour in (("sacct", sacct), ("scontrol", scontrol)):
            if behaviour is not None:
                status, out, err = (behaviour + ("",))[:3]
                with open(os.path.join(folder, command), "w") as f:
                    f.write(f"#!/bin/sh\nprintf '%s' '{out}'\nprintf '%s' '{err}' >&2\nexit {status}\n")
                os.chmod(os.path.join(folder, command), 0o755)
        done = subprocess.run([sys.executable, status_script, "7;cluster"], env={"PATH": folder}, capture_output=True, text=True)
        if done.returncode != 0 or done.stdout != expected + "\n":
            failures.append(f"{name}: expected {expected}, got {done.stdout!r} (exit {done.returncode}) {done.stderr}")
print("\n".join(failures + [f"{len(CASES) - len(failures)} passed, {len(failures)} failed"]))
sys.exit(1 if failures else 0)
