#!/bin/sh
# The help's translations, checked against the program that shows them.
#
#   translation_test.sh SOURCE BUILD
. "$(dirname "$0")/scratch.sh"
src=$1
build=$2

# Every text the program marks for translation is translated in each
# catalog, and no catalog keeps a text the program no longer has.
LC_ALL=C.UTF-8 xgettext --language=C++ --from-code=UTF-8 --keyword=Translated --keyword=TranslatedCore --keyword=Said --keyword=N_ \
    -o "$work/karvelo.pot" "$src"/src/cli/*.cpp
for po in "$src"/po/*.po; do
    LC_ALL=C.UTF-8 msgcmp "$po" "$work/karvelo.pot" 2>"$work/missing" || fail "$po lacks: $(cat "$work/missing")"
    LC_ALL=C.UTF-8 msgcmp --use-untranslated "$work/karvelo.pot" "$po" 2>"$work/stale" ||
        fail "$po keeps texts the program no longer has: $(cat "$work/stale")"
done

# The program's help under a clean environment plus the given variables.
help_with() {
    settings=$1
    shift
    # shellcheck disable=SC2086 # the settings are words on purpose
    env -i PATH="$PATH" HOME="$work" XDG_STATE_HOME="$work/state" $settings "$build/karvelo" "$@"
}

# Which language the locale variables choose, as in other GNU programs: the
# first set of LC_ALL, LC_MESSAGES and LANG, then LANGUAGE unless that is C.
# zh_CN.GBK is a locale few machines generate: its name alone chooses.
for row in "zh LANG=zh_CN.UTF-8" "zh LANG=C LC_MESSAGES=zh_CN.UTF-8" "en LANG=zh_CN.UTF-8 LC_ALL=C" \
    "zh LANG=zh_CN.GBK LANGUAGE=" "en LANG=en_US.UTF-8" "zh LANG=en_US.UTF-8 LANGUAGE=zh_CN" "en LANGUAGE=zh_CN" \
    "en -"; do
    language=${row%% *}
    settings=${row#* }
    [ "$settings" = - ] && settings=""
    # The short help fits one screen.
    lines=$(help_with "$settings" --help | wc -l)
    [ "$lines" -le 24 ] || fail "$settings karvelo --help has $lines lines"
    for command in "" relocate inspect demo; do
        # shellcheck disable=SC2086 # no command: the program's help
        out=$(help_with "$settings" $command --help)
        first=$(echo "$out" | grep -m1 -e '^usage: ' -e '^用法：' || true)
        case $language in
        zh) expected="用法：karvelo ${command:-relocate}" ;;
        en) expected="usage: karvelo ${command:-relocate}" ;;
        esac
        case $first in
        "$expected"*) ;;
        *) fail "$settings karvelo $command --help: $first, not $expected" ;;
        esac
        # Within 80 columns in either language (two for a Chinese character).
        wide=$(echo "$out" | LC_ALL=C.UTF-8 wc -L)
        [ "$wide" -le 80 ] || fail "$settings karvelo $command --help is $wide columns wide"
    done
    for topic in "" proxy files exit-codes stop; do
        # shellcheck disable=SC2086 # no topic: the list of them
        wide=$(help_with "$settings" help $topic | LC_ALL=C.UTF-8 wc -L)
        [ "$wide" -le 80 ] || fail "$settings karvelo help $topic is $wide columns wide"
    done
done

# Both helps name the same options, commands and exit codes.
options_of() {
    echo "$1" | grep -o -e '--[a-z][a-z-]*' -e '-[a-zA-Z],' -e 'karvelo [a-z]* \[options\]' | sort -u
}
codes_of() {
    echo "$1" | sed -n "/^$2/,/^\$/p" | grep -o '[0-9][0-9]* *[^0-9 ]' | grep -o '^[0-9]*' | sort -u
}
english=$(help_with "LANG=C" --help)
chinese=$(help_with "LANG=zh_CN.UTF-8" --help)
[ "$(options_of "$english")" = "$(options_of "$chinese")" ] ||
    fail "the helps' options differ: $(options_of "$english") / $(options_of "$chinese")"
english=$(help_with "LANG=C" help exit-codes)
chinese=$(help_with "LANG=zh_CN.UTF-8" help exit-codes)
[ "$(codes_of "$english" "exit codes:")" = "$(codes_of "$chinese" "退出码：")" ] ||
    fail "the helps' exit codes differ: $(codes_of "$english" "exit codes:") / $(codes_of "$chinese" "退出码：")"
help_with "LANG=zh_CN.UTF-8" help files | grep -qF "NAME(已搬家).csv" || fail "the Chinese help names no kept package"
# The topics are the same in both languages, and an unknown one is refused
# in the help's language, naming them.
[ "$(help_with "LANG=C" help | grep -o '^  [a-z-]*')" = "$(help_with "LANG=zh_CN.UTF-8" help | grep -o '^  [a-z-]*')" ] ||
    fail "the helps' topics differ"
refusal=$(help_with "LANG=zh_CN.UTF-8" help frob 2>&1 || true)
echo "$refusal" | grep -qx "karvelo help：没有主题 frob；主题有：proxy, files, exit-codes, stop" ||
    fail "unknown topic under zh_CN: $refusal"

# Refusals speak the locale's language too; scripts read the exit code.
refusal=$(help_with "LANG=zh_CN.UTF-8" frob 2>&1 || true)
echo "$refusal" | grep -qx "karvelo: 未知命令 frob" || fail "refusal under zh_CN: $refusal"
refusal=$(help_with "LANG=C.UTF-8" frob 2>&1 || true)
echo "$refusal" | grep -qx "karvelo: unknown command frob" || fail "refusal under C.UTF-8: $refusal"
echo "$refusal" | grep -q "^usage: karvelo relocate" || fail "refusal's usage under zh_CN: $refusal"
