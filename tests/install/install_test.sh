#!/bin/sh
# What a user installs, checked from outside the build.
#
#   install_test.sh BUILD CMAKE layout   `make install`: the files under the
#                                        prefix, the installed command's folder
#                                        rule, the manual pages, the Chinese help
#   install_test.sh BUILD CPACK package  the Debian package: its control data
#                                        (dependencies) and its files
. "$(dirname "$0")/scratch.sh"
build=$1
tool=$2

# The regular files under $1, one per line, sorted.
files_under() {
    (cd "$1" && find . ! -type d | sort)
}

version=$("$build/karvelo" --version | sed -n 's/^Karvelo //p')
[ -n "$version" ] || fail "karvelo --version names no version"

case $3 in
layout)
    DESTDIR=$work/root "$tool" --install "$build" --prefix /usr/local >/dev/null
    installed=$(files_under "$work/root")
    [ "$installed" = "./usr/local/bin/karvelo
./usr/local/share/bash-completion/completions/karvelo
./usr/local/share/doc/karvelo/copyright
./usr/local/share/locale/zh_CN/LC_MESSAGES/karvelo.mo
./usr/local/share/man/man1/karvelo.1.gz
./usr/local/share/man/zh_CN/man1/karvelo.1.gz" ] || fail "installed: $installed"
    grep -qx "License: Expat" "$work/root/usr/local/share/doc/karvelo/copyright" || fail "copyright names no licence"

    # Installed, it keeps its files in the user's state folder, though the
    # prefix can be written here, and its help says so.
    karvelo=$work/root/usr/local/bin/karvelo
    help=$(XDG_STATE_HOME=$work/state "$karvelo" --help)
    files=$(XDG_STATE_HOME=$work/state "$karvelo" help files)
    echo "$files" | grep -qxF "For you, that folder is $work/state/karvelo" || fail "help files: $files"

    # The manual page renders without a warning (wide lines: nothing is
    # broken or hyphenated) and covers every command and option of the help.
    manual=$(LC_ALL=C MANWIDTH=1000 man --warnings -l "$work/root/usr/local/share/man/man1/karvelo.1.gz" \
        2>"$work/warnings")
    [ ! -s "$work/warnings" ] || fail "manual page warnings: $(cat "$work/warnings")"
    for section in NAME SYNOPSIS COMMANDS OPTIONS "HELP TOPICS" ENVIRONMENT FILES "EXIT STATUS" EXAMPLES; do
        echo "$manual" | grep -qx "$section" || fail "the manual page has no $section"
    done
    # Help and manual page name the same options, commands, topics, exit
    # codes and examples: each of the help's (the short one, every
    # command's, the topics') in the manual page, in its section.
    all_help() {
        "$karvelo" --help
        for command in relocate inspect demo; do "$karvelo" "$command" --help; done
    }
    words=$(all_help | grep -o -e '--[a-z][a-z-]*' -e '-[a-zA-Z],' -e 'karvelo [a-z]* \[options\]' |
        sed -e 's/^karvelo //' -e 's/ \[options\]$//' -e 's/,$//' | sort -u)
    [ -n "$words" ] || fail "help names no option: $help"
    completion=$(cat "$work/root/usr/local/share/bash-completion/completions/karvelo")
    for word in $words; do
        echo "$completion" | grep -qe "$word" || fail "the bash completion lacks $word"
        echo "$manual" | grep -qe "$word" || fail "the manual page does not mention $word"
    done
    # The topics: what `karvelo help` lists, each one shown (exit 0),
    # completed and in the manual page's HELP TOPICS; an unknown one is a
    # usage error.
    topics=$("$karvelo" help | sed -n '/^topics:/,$p' | sed -n 's/^  \([a-z-]*\)  .*/\1/p')
    [ "$(echo "$topics" | wc -l)" -ge 4 ] || fail "karvelo help lists: $topics"
    helptopics=$(echo "$manual" | sed -n '/^HELP TOPICS/,/^SIGNALS/p')
    for topic in $topics; do
        "$karvelo" help "$topic" >/dev/null || fail "karvelo help $topic fails"
        echo "$completion" | grep -q "local topics=\"\(.* \)\{0,1\}$topic[ \"]" ||
            fail "the bash completion lacks the topic $topic"
        echo "$helptopics" | grep -qx " *$topic\( .*\)\{0,1\}" || fail "the manual page's HELP TOPICS lacks $topic"
    done
    refused=0
    "$karvelo" help frob 2>/dev/null || refused=$?
    [ "$refused" -eq 2 ] || fail "karvelo help frob: exit $refused, not a usage error"
    codes=$("$karvelo" help exit-codes | sed -n '/^exit codes:/,/^$/p' | grep -o -e '[0-9][0-9]* [a-z]' |
        cut -d' ' -f1 | sort -u)
    [ -n "$codes" ] || fail "help names no exit code"
    exits=$(echo "$manual" | sed -n '/^EXIT STATUS/,/^EXAMPLES/p')
    readme=$(sed -n '/^## The command line/,/^## /p' "$(dirname "$0")/../../README.md")
    for code in $codes; do
        echo "$exits" | grep -q "^ *$code  " || fail "the manual page's EXIT STATUS lacks $code"
        grep -q "Exit codes:.*$code\|[;,] $code [a-z]" "$(dirname "$0")/../../README.md" ||
            fail "README's exit codes lack $code"
    done
    # The help's examples are the manual page's and README's, and README's
    # run: on a package a demo relocated, so no network is needed.
    examples=$(echo "$help" | sed -n '/^examples:/,/^$/p' | sed -n 's/^  \(karvelo [^ ]*\( [^ ]\{1,\}\)*\)  .*/\1/p')
    [ "$(echo "$examples" | wc -l)" -ge 3 ] || fail "the help's examples: $examples"
    manual_examples=$(echo "$manual" | sed -n '/^EXAMPLES/,$p')
    echo "$examples" | while read -r example; do
        echo "$manual_examples" | grep -qx " *$example" || fail "the manual page's EXAMPLES lack $example"
        echo "$readme" | grep -qF "    $example " || fail "README's examples lack $example"
    done || exit 1
    mkdir "$work/examples" "$work/examples/images"
    XDG_STATE_HOME=$work/state "$karvelo" demo "$work/demo" >/dev/null || fail "the demo fails"
    cp "$work/demo/demo-shop.csv" "$work/examples/goods.csv"
    echo "$readme" | grep '^    karvelo [a-z]* .*goods\.csv' | while read -r example; do
        (cd "$work/examples" && PATH=$work/root/usr/local/bin:$PATH XDG_STATE_HOME=$work/state \
            sh -c "$example" >/dev/null 2>&1) || fail "README's example does not run: $example"
    done || exit 1
    echo "$manual" | grep -qF "Karvelo $version" || fail "the manual page is not of version $version"

    # In Chinese: the installed program finds its catalog (../share/locale),
    # and the Chinese manual page renders cleanly and names what the Chinese
    # help names, options and exit codes alike.
    chinese=$(LANG=zh_CN.UTF-8 LC_ALL= LC_MESSAGES= LANGUAGE= XDG_STATE_HOME=$work/state "$karvelo" help files)
    echo "$chinese" | grep -qxF "对你来说，这个文件夹是 $work/state/karvelo" || fail "Chinese help files: $chinese"
    manual=$(LC_ALL=C.UTF-8 MANWIDTH=1000 man --warnings -l "$work/root/usr/local/share/man/zh_CN/man1/karvelo.1.gz" \
        2>"$work/warnings")
    [ ! -s "$work/warnings" ] || fail "Chinese manual page warnings: $(cat "$work/warnings")"
    for section in 名称 概要 命令 选项 环境变量 文件 信号 退出状态 示例; do
        echo "$manual" | grep -qx "$section" || fail "the Chinese manual page has no $section"
    done
    for word in $words; do
        echo "$manual" | grep -qe "$word" || fail "the Chinese manual page does not mention $word"
    done
    helptopics=$(echo "$manual" | sed -n '/^帮助主题/,/^信号/p')
    for topic in $topics; do
        echo "$helptopics" | grep -qx " *$topic\( .*\)\{0,1\}" || fail "the Chinese manual page's 帮助主题 lacks $topic"
    done
    manual_examples=$(echo "$manual" | sed -n '/^示例/,$p')
    echo "$examples" | while read -r example; do
        echo "$manual_examples" | grep -qx " *$example" || fail "the Chinese manual page's 示例 lack $example"
    done || exit 1
    exits=$(echo "$manual" | sed -n '/^退出状态/,/^示例/p')
    for code in $codes; do
        echo "$exits" | grep -q "^ *$code  " || fail "the Chinese manual page's 退出状态 lacks $code"
    done
    echo "$manual" | grep -qF "Karvelo $version" || fail "the Chinese manual page is not of version $version"
    ;;
package)
    "$tool" -G DEB --config "$build/CPackConfig.cmake" -B "$work/package" >/dev/null
    deb=$work/package/karvelo_$version-1_$(dpkg --print-architecture).deb
    [ -f "$deb" ] || fail "no $deb"
    dpkg-deb -I "$deb" >"$work/info"
    grep -qx ' Package: karvelo' "$work/info" || fail "package name: $(cat "$work/info")"
    grep -qx " Version: $version-1" "$work/info" || fail "package version: $(cat "$work/info")"
    depends=$(sed -n 's/^ Depends: //p' "$work/info")
    for library in libc6 libpcre2-8-0 libssl3 libnghttp2-14; do
        echo ", $depends," | grep -q ", $library[ ,]" || fail "Depends lacks $library: $depends"
    done
    # PCRE 8 is linked by the tests alone, never by the program.
    if echo ", $depends," | grep -q ", libpcre3[ ,]"; then fail "Depends still has libpcre3: $depends"; fi
    contents=$(dpkg-deb -c "$deb" | awk '$6 !~ /\/$/ {print $6}' | sort)
    [ "$contents" = "./usr/bin/karvelo
./usr/share/bash-completion/completions/karvelo
./usr/share/doc/karvelo/copyright
./usr/share/locale/zh_CN/LC_MESSAGES/karvelo.mo
./usr/share/man/man1/karvelo.1.gz
./usr/share/man/zh_CN/man1/karvelo.1.gz" ] || fail "package files: $contents"
    # The packaged program is this build's, stripped, and runs.
    dpkg-deb -x "$deb" "$work/unpacked"
    [ "$("$work/unpacked/usr/bin/karvelo" --version)" = "Karvelo $version" ] || fail "the packaged karvelo does not run"
    ;;
*)
    fail "usage: install_test.sh BUILD CMAKE layout | BUILD CPACK package"
    ;;
esac
