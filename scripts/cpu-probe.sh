# Sourced by scripts/test-arch.sh: the verdicts of an architecture's processor probe, the program
# $probe built from tools/cpu-probes/ARCH.c, which runs one instruction newer than the row
# promises and returns 3. A probe file may hold several, one for each extension the row's
# baseline excludes, named on its "// probes:" line; the program runs the one its argument
# names. probe_names FILE sets $probes to those names ("" for a probe of one), and $refusal to
# the signal that ends a refused one: its "// refused by: SIGNAL" line, else ILL.
probe_names() {
  read -ra probes <<<"$(sed -n 's|^// probes: ||p' "$1")"
  [ "${#probes[@]}" -ne 0 ] || probes=("")
  refusal="$(sed -n 's|^// refused by: ||p' "$1")"
  refusal="${refusal:-ILL}"
}
# probe NAME COMMAND...: starts the probe NAME by COMMAND and says how it ended: "ran" when it
# returned its own status, 3, past the newer instruction; "refused" when the signal of its
# architecture's refusal ($refusal) ended it, as qemu ends a program that meets an instruction its
# model lacks; else "exit STATUS" (127: it never started; another signal: it died of something
# else).
probe() {
  local name="$1" status=0
  shift
  "$@" "$probe" ${name:+"$name"} 2>/dev/null || status=$?
  if [ "$status" = $((128 + $(kill -l "${refusal:?probe_names first}"))) ]; then echo refused
  elif [ "$status" = 3 ]; then echo ran
  else echo "exit $status"; fi
}
# refuses WHAT COMMAND...: the run fails unless each probe, started by COMMAND, is refused.
refuses() {
  local name got
  for name in "${probes[@]}"; do
    got="$(probe "$name" "${@:2}")"
    [ "$got" = refused ] ||
      { echo "the probe${name:+ of $name} was not refused where $1 runs ($got)" >&2; exit 1; }
  done
}
# runs COMMAND...: the run fails unless each probe, started by COMMAND (qemu's newest model),
# runs: else it proves nothing.
runs() {
  local name got
  for name in "${probes[@]}"; do
    got="$(probe "$name" "$@")"
    [ "$got" = ran ] ||
      { echo "the probe${name:+ of $name} failed on qemu's newest model ($got): it proves nothing" >&2; exit 1; }
  done
}
