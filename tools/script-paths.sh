# shellcheck shell=bash
# Sourced by the tool scripts before anything else: moves to the top of the clone, where `top`
# then points, and defines `absolute PATH`, which takes a relative PATH from the directory the
# script was started in.
here=$(pwd)
cd "$(dirname "${BASH_SOURCE[0]}")/.."
top=$(pwd)
absolute() {
    case "$1" in
        /*) echo "$1" ;;
        *) echo "$here/$1" ;;
    esac
}
