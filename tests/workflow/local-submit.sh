#!/usr/bin/env bash
# Stands in for a batch system's submit command (as `--cluster`): starts the job
# script detached, with an empty environment, from another directory, and
# prints a job id. The job's output goes to a folder under TMPDIR.
set -euo pipefail
jobscript=$(readlink -f "${@: -1}")
cd "$(mktemp -d "${TMPDIR:-/tmp}/job.XXXXXX")"
setsid env -i PATH=/usr/bin:/bin HOME="$HOME" bash "$jobscript" > job.log 2>&1 < /dev/null &
echo $!
