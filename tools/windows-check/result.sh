# result.sh, sourced by the check scripts: one line per case, the form ./tesmira
# counts, and the count of failed cases in $failures.
failures=${failures:-0}
result() {  # result <case> <why, empty when it passed>
  if [[ -z $2 ]]; then
    echo "passed: $1"
  else
    echo "failed: $1: $2"
    failures=$((failures + 1))
  fi
}
expect_equal() {  # expect_equal <case> <want> <got>
  local got
  got=$(tr '\n' ' ' <<<"$3")
  ((${#got} <= 300)) || got="${got:0:300}..."
  if [[ $2 == "$3" ]]; then result "$1" ""; else result "$1" "want [$(tr '\n' ' ' <<<"$2")] got [$got]"; fi
}
