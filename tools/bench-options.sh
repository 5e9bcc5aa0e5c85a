# The command line both benchmark scripts take, sourced by them:
#   tarn_bench_options NAME "$@"   sets smoke=1 for --smoke (else 0); any other
#                                  argument prints NAME's usage and exits 2.
# shellcheck shell=bash

# smoke is read by the script that sourced this one.
# shellcheck disable=SC2034
tarn_bench_options() {
  local name=$1 argument
  shift
  smoke=0
  for argument in "$@"; do
    case "$argument" in
      --smoke) smoke=1 ;;
      *) echo "usage: $name [--smoke]" >&2; exit 2 ;;
    esac
  done
}
