#!/usr/bin/env bash
# Judges one case of the VM test by what it left in its folder, or reports the figures:
#   check.sh CASE DIR           exit 0 when the case did what it should
#   check.sh figures VMDIR CASE...
set -uo pipefail

# Little-endian 32-bit words of a file: words FILE BYTE_OFFSET COUNT (decimal, one a line).
words() { od -An -v -tu4 -j "$2" -N $((4 * $3)) "$1" | tr -s ' ' '\n' | sed '/^$/d'; }
fails=0
fail() { echo "vm: $name: $*" >&2; fails=$((fails + 1)); }
expect_words() {  # FILE OFFSET "W1 W2 ..." WHAT
  local got
  got=$(words "$1" "$2" "$(wc -w <<< "$3")" | tr '\n' ' ')
  [[ "${got% }" == "$3" ]] || fail "$4: got ${got% }, want $3"
}
count() { grep -aoF -- "$2" "$1" | wc -l; }
same_as_reference() {  # [SED]: the reference as this case expects it
  if ! cmp -s "$dir/transcript.bin" <(sed "${1:-}" "$dir/reference.bin"); then
    fail "the transcript differs from the one against the simulator's socket (reference.bin${1:+, then $1}):"
    diff <(sed "${1:-}" "$dir/reference.bin" | od -c) <(od -c "$dir/transcript.bin") | head -20 >&2
  fi
}
# Requests in the trace with this command code (word 2) and, when given, this address (word 4).
requests() {
  awk -v c="$(printf '%08X' "$1")" -v a="${2:+$(printf '%08X' "$2")}" \
    '$1 == "OUT" && $5 == c && (a == "" || $7 == a) { n++ } END { print n + 0 }' "$dir/trace.txt"
}

if [[ $1 == figures ]]; then
  vm=$2
  shift 2
  echo "vm: figures by the guest's clock; under TCG the guest's code runs emulated, many times slower than natively"
  for name in "$@"; do
    console="$vm/$name/console.txt"
    [[ -f $console ]] || continue
    # Plug to prompt: the kernel's "new high-speed USB device" to the updater's prompt.
    awk -v name="$name" '
      { gsub(/[][]/, " "); t = $1 + 0 }
      /new high-speed USB device/ { plug = t }
      /vx-mark prompt/ && plug { printf "vm: %s: plug to \"Press any key to start download\": %.0f ms\n", name, (t - plug) * 1000; plug = 0 }
      /vx-mark pages-start/ { start = t }
      /vx-mark pages-end/ && start { pages = t - start }
      END { if (pages) printf "%s %.6f\n", "PAGES", pages }' "$console" |
      while read -r first rest; do
        if [[ $first == PAGES ]]; then
          n=$(grep -aoE "nPage = [0-9]+" "$vm/$name/transcript.bin" | tail -1 | grep -oE "[0-9]+$")
          n=${n:-$(grep -aoE "Number Pages = [0-9]+" "$vm/$name/transcript.bin" | tail -1 | grep -oE "[0-9]+$")}
          [[ -n $n && $n -ge 10 ]] &&
            awk -v s="$rest" -v n="$n" -v name="$name" \
              'BEGIN { printf "vm: %s: %d page writes in %.0f ms: %.2f ms per exchange\n", name, n, s * 1000, s * 1000 / n }'
        else
          echo "$first $rest"
        fi
      done
    # The guest's clock against the host's, from the plug to QEMU's exit.
    if [[ -f "$vm/$name/host-clock.txt" ]]; then
      awk -v name="$name" '
        FNR == NR { host[$1] = $2; next }
        { gsub(/[][]/, " ") }
        /vx-mark ready/ { ready = $1 }
        /reboot: Power down/ { off = $1 }
        END {
          h = host["exit"] - host["ready"]
          if (ready && off && h > 0)
            printf "vm: %s: plug to power-off: %.2f s by the guest'"'"'s clock, %.2f s by the host'"'"'s (ratio %.2f)\n", name, off - ready, h, (off - ready) / h
        }' "$vm/$name/host-clock.txt" "$console"
    fi
  done
  exit 0
fi

name=$1 dir=$2
for f in transcript.bin trace.txt flash.bin eeprom.bin image.bin; do
  [[ -f "$dir/$f" ]] || fail "no $f"
done
((fails)) && exit 1

preamble=$'\nQUENBY VALTOR FIRMWARE UPDATER\n\n=================================================\nOverall Version 12\nmain.bin 3\n'
preamble+=$'\nConnect Valtor locator and switch on while holding the f and up buttons...\r\n'
cmp -s <(head -c ${#preamble} "$dir/transcript.bin") <(printf '%s' "$preamble") ||
  fail "the transcript does not begin with the start-up texts"
departure=$'\nKessan USB Device Disconnected\n\nConnect next locator and switch on while holding the f and up buttons\n'

case ${name#gadget-} in
  update | polling)
    same_as_reference
    [[ $(count "$dir/transcript.bin" "SUCCESS, Flash and Firmware File CRCs equal") == 1 ]] || fail "no verified download"
    # The image at 0x8000 (flash units, 2 bytes each), zero-padded to its page.
    cmp -s <(head -c 256 <(cat "$dir/image.bin" /dev/zero)) <(tail -c +$((0x8000 * 2 + 1)) "$dir/flash.bin" | head -c 256) ||
      fail "flash at 0x8000 does not hold the image"
    # The info block at 0x3000: versions 12 and 3, the image's CRC and length.
    expect_words "$dir/flash.bin" $((0x3000 * 2)) "12 3 $((0x94E889E8)) 128" "info block"
    expect_words "$dir/eeprom.bin" $((0x1010)) "7 $((0x1234)) 0 4" "image version record"
    expect_words "$dir/eeprom.bin" $((0x1000)) "1 12 0" "overall version record"
    ;;
  unplug)
    # A gadget's controller has taken the request in before the locator goes (no device
    # can refuse a packet it has acknowledged): the host's OUT succeeds and what fails is
    # its IN, 55, or, when the updater has seen the departure first, the IN is not sent, 53;
    # not the short write 66 of a request that never arrived.
    if [[ $name == gadget-* ]]; then
      code=$(grep -aoE 'Error Code = [0-9]+,' "$dir/transcript.bin" | head -1 | grep -oE '[0-9]+')
      [[ $code == 53 || $code == 55 ]] || fail "link code ${code:-none}, not 53 or 55"
      same_as_reference "s/Error Code = 66,/Error Code = ${code:-55},/"
    else
      same_as_reference
    fi
    grep -aqF $'\nCommunication error during Firmware Download\nError Code = ' "$dir/transcript.bin" ||
      fail "no failure of the download"
    cmp -s <(tail -c ${#departure} "$dir/transcript.bin") <(printf '%s' "$departure") ||
      fail "the departure is not reported last"
    # Pages 0 to 39 reached the flash, page 40 did not.
    cmp -s <(head -c $((40 * 256)) "$dir/image.bin") <(tail -c +$((0x8000 * 2 + 1)) "$dir/flash.bin" | head -c $((40 * 256))) ||
      fail "flash does not hold pages 0 to 39"
    [[ $(tail -c +$((0x8000 * 2 + 40 * 256 + 1)) "$dir/flash.bin" | head -c 256 | od -An -v -tx1 | tr -d ' \n' | tr -d f) == "" ]] ||
      fail "page 40 was written"
    ;;
  line)
    same_as_reference
    [[ $(count "$dir/transcript.bin" "SUCCESS, Flash and Firmware File CRCs equal") == 2 ]] || fail "not two verified downloads"
    [[ $(count "$dir/transcript.bin" "Checksums match") == 2 ]] || fail "not two verified info blocks"
    [[ $(requests 901 0x1000) == 2 ]] || fail "not two overall version records in the trace"
    ;;
  permission)
    # One line of the backend's about the device it may not open; nothing else after the
    # start-up texts, and nothing sent to the locator.
    rest=$(tail -c +$((${#preamble} + 1)) "$dir/transcript.bin" | grep -av '^[[:space:]]*$')
    [[ $(wc -l <<< "$rest") == 1 && $rest == "Locator found (USB bus "*"may not open it"* ]] ||
      fail "not just one permission line after the start-up texts: $(printf '%q' "$rest")"
    [[ $(grep -c '^OUT' "$dir/trace.txt") == 0 ]] || fail "requests reached the locator"
    ;;
  *) fail "unknown case" ;;
esac
((fails == 0)) && echo "vm: $name: passed"
((fails == 0))
