#!/usr/bin/env bash
# Remakes the seed corpora in fuzz/corpus/ from the test tools' scenarios and containers, the
# demo's kick messages and sample command lines, each minimised with libFuzzer's -merge=1.
#   bash fuzz/make-corpus.sh [BUILD_DIR]      (default build-san, configured with
#                                              -DKORVANE_SANITIZE=ON -DKORVANE_FUZZ=ON)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-san}
seed=$build/fuzz/korvane-fuzz-seed
raw=$(mktemp -d)
trap 'rm -rf "$raw"' EXIT

mkdir -p "$raw"/capture_pipeline "$raw"/variant_container "$raw"/kick_message_file \
    "$raw"/command_line
# Pipeline: the demo session with its switches (/report /puretech /collect /time:1, the port
# detected), and the seed scenarios with other switches each.
"$seed" pipeline --switches 71 --minutes 1 tools/demo/session.scenario "$raw"/capture_pipeline/demo
"$seed" pipeline --switches 71 fuzz/seeds/split_messages.scenario "$raw"/capture_pipeline/split
"$seed" pipeline --switches 3 fuzz/seeds/uploads.scenario "$raw"/capture_pipeline/uploads
"$seed" pipeline --switches 5 --minutes 1 fuzz/seeds/kick_and_sweep.scenario \
    "$raw"/capture_pipeline/kick_and_sweep
"$seed" pipeline --switches 104 fuzz/seeds/other_port.scenario "$raw"/capture_pipeline/other_port
"$seed" pipeline --switches 7 fuzz/seeds/queue_overflow.scenario "$raw"/capture_pipeline/queue_overflow
"$seed" pipeline --switches 201 fuzz/seeds/kick_and_sweep.scenario "$raw"/capture_pipeline/silent_test

"$seed" variants "$raw"/variant_container

kicks=$raw/kick_message_file
cp tools/demo/Korvane.flunk "$kicks"/demo
printf '@Bye %%s\r\n# comment\r\n@%%s, read the rules\r\n' > "$kicks"/crlf
printf '@\n@%%d %%n %%s %%s %%%%\nno at sign\n  @not first\n' > "$kicks"/formats
printf '@%0300d\n@tail' 0 > "$kicks"/long_line
printf '# nothing but comments\n' > "$kicks"/comments_only
printf '@a\0b\n@c' > "$kicks"/zero_byte

lines=$raw/command_line
printf '/host:127.0.0.1\0/report\0/puretech\0/collect\0/time:1\0/replay:session.pcap' > "$lines"/demo
printf '/port:2400\0/adapter:2\0foo' > "$lines"/port_adapter
printf '/time:\0/time:0\0/time:-5\0/time\0/time:+12abc' > "$lines"/times
printf '/noversion\0/version\0/DEBUG\0/debugging\0/tester\0/silent' > "$lines"/words
printf '/test\0/?\0/report' > "$lines"/usage
printf '/host:%0300d\0/port: -2147483649\0/adapter:99999999999' 0 > "$lines"/long_values

for target in capture_pipeline variant_container kick_message_file command_line; do
    corpus=fuzz/corpus/$target
    rm -rf "$corpus"
    mkdir -p "$corpus"
    "$build/fuzz/${target}_fuzz" -merge=1 "$corpus" "$raw/$target" 2>&1 | grep -E "MERGE-OUTER: [0-9]+ new files" || true
done
du -sb fuzz/corpus/* | sed 's|fuzz/corpus/||'
