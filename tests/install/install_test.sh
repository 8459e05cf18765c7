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
    help=$(XDG_STATE_HOME=$work/state "$work/root/usr/local/bin/karvelo" --help)
    echo "$help" | grep -qxF "For you, that folder is $work/state/karvelo" || fail "help: $help"

    # The manual page renders without a warning (wide lines: nothing is
    # broken or hyphenated) and covers every command and option of the help.
    manual=$(LC_ALL=C MANWIDTH=1000 man --warnings -l "$work/root/usr/local/share/man/man1/karvelo.1.gz" \
        2>"$work/warnings")
    [ ! -s "$work/warnings" ] || fail "manual page warnings: $(cat "$work/warnings")"
    for section in NAME SYNOPSIS COMMANDS OPTIONS ENVIRONMENT FILES "EXIT STATUS" EXAMPLES; do
        echo "$manual" | grep -qx "$section" || fail "the manual page has no $section"
    done
    # Help, manual page and README name the same options, commands and exit
    # codes: each of the help's in the other two.
    readme=$(cat "$(dirname "$0")/../../README.md")
    words=$(echo "$help" | grep -o -e '--[a-z][a-z-]*' -e '-[a-zA-Z],' -e 'karvelo [a-z]* \[options\]' |
        sed -e 's/^karvelo //' -e 's/ \[options\]$//' -e 's/,$//' | sort -u)
    [ -n "$words" ] || fail "help names no option: $help"
    completion=$(cat "$work/root/usr/local/share/bash-completion/completions/karvelo")
    for word in $words; do
        echo "$completion" | grep -qe "$word" || fail "the bash completion lacks $word"
        echo "$manual" | grep -qe "$word" || fail "the manual page does not mention $word"
        echo "$readme" | grep -qe "$word" || fail "README does not mention $word"
    done
    codes=$(echo "$help" | sed -n '/^exit codes:/,/^$/p' | grep -o -e '[0-9][0-9]* [a-z]' | cut -d' ' -f1 | sort -u)
    [ -n "$codes" ] || fail "help names no exit code"
    exits=$(echo "$manual" | sed -n '/^EXIT STATUS/,/^EXAMPLES/p')
    for code in $codes; do
        echo "$exits" | grep -q "^ *$code  " || fail "the manual page's EXIT STATUS lacks $code"
        echo "$readme" | grep -q "Exit codes:.*$code\|[;,] $code [a-z]" || fail "README's exit codes lack $code"
    done
    echo "$manual" | grep -qF "Karvelo $version" || fail "the manual page is not of version $version"

    # In Chinese: the installed program finds its catalog (../share/locale),
    # and the Chinese manual page renders cleanly and names what the Chinese
    # help names, options and exit codes alike.
    chinese=$(LANG=zh_CN.UTF-8 LC_ALL= LC_MESSAGES= LANGUAGE= XDG_STATE_HOME=$work/state \
        "$work/root/usr/local/bin/karvelo" --help)
    echo "$chinese" | grep -qxF "对你来说，这个文件夹是 $work/state/karvelo" || fail "Chinese help: $chinese"
    manual=$(LC_ALL=C.UTF-8 MANWIDTH=1000 man --warnings -l "$work/root/usr/local/share/man/zh_CN/man1/karvelo.1.gz" \
        2>"$work/warnings")
    [ ! -s "$work/warnings" ] || fail "Chinese manual page warnings: $(cat "$work/warnings")"
    for section in 名称 概要 命令 选项 环境变量 文件 信号 退出状态 示例; do
        echo "$manual" | grep -qx "$section" || fail "the Chinese manual page has no $section"
    done
    for word in $(echo "$chinese" | grep -o -e '--[a-z][a-z-]*' -e '-[a-zA-Z],' | sed 's/,$//' | sort -u); do
        echo "$manual" | grep -qe "$word" || fail "the Chinese manual page does not mention $word"
    done
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
