#!/usr/bin/env bash
# The UI-test runner started twice with the same VESMORA_DEVICE_TIME draws the same numbers, the
# wall clock's second having changed between the two starts: a pinned run's draws follow its
# pinned start and nothing else. The numbers are the amounts the deposit-transactions test draws
# and prints as it starts (a line of its own). One amount has 280 values, so two runs on unrelated
# numbers agree now and then: each round runs three pinned times, and all three must agree.
#
#   same_start_same_draws.sh <vesmora-uitests>
set -u
runner="$1"
test=DepositTransactionsTests/testTransferBetweenAccountsTransaction
times="2026-12-07T12:00:00 2026-12-08T00:00:00 2027-03-14T09:30:00"

# The amount a run started at $1 drew, on standard output; a failed run ends the script.
draw() {
  local out
  if ! out=$(test_env=sim VESMORA_DEVICE_TIME_ZONE=UTC VESMORA_DEVICE_TIME="$1" "$runner" "$test" 2>&1); then
    echo "the run started at $1 failed:" >&2
    printf '%s\n' "$out" >&2
    exit 1
  fi
  printf '%s\n' "$out" | sed -n "/testTransferBetweenAccountsTransaction\]' started\.\$/{n;p;q;}"
}

# One round: "<time>=<amount>" for each pinned time.
round() {
  local time amount line=""
  for time in $times; do
    amount=$(draw "$time") || exit 1
    if [ -z "$amount" ]; then
      echo "the run started at $time printed no amount" >&2
      exit 1
    fi
    line="$line $time=$amount"
  done
  echo "$line"
}

first=$(round) || exit 1
# The next round starts in a later second of the wall clock (polled, with a bound far beyond the
# one second it takes).
second=$(date +%s)
polls=0
while [ "$(date +%s)" = "$second" ]; do
  polls=$((polls + 1))
  if [ "$polls" -gt 2000 ]; then
    echo "the wall clock's second did not change in 2000 polls" >&2
    exit 1
  fi
  sleep 0.01
done
again=$(round) || exit 1
echo "first:$first"
echo "again:$again"
if [ "$first" != "$again" ]; then
  echo "runs started at the same pinned times drew other numbers" >&2
  exit 1
fi
