#!/bin/sh
# Stand-in for the web administration's mail script, for the tests and the
# example: records its arguments and answers as told.
#   KX_EMAIL_RECORD  file that gets one line per argument and a "--" line
#   KX_EMAIL_ANSWER  ok (default): "OK: sent"; err: an "ERR:" line ending in
#                    CR LF; none: no output
if [ -n "${KX_EMAIL_RECORD:-}" ]; then
  # One write per call: the daemon's workers may mail at the same time, and
  # separate appends of their lines would interleave.
  rec=$(for a in "$@"; do printf '%s\n' "$a"; done; printf -- '--\nx')
  printf '%s' "${rec%x}" >>"$KX_EMAIL_RECORD"
fi
case "${KX_EMAIL_ANSWER:-ok}" in
  ok) printf 'OK: sent\n' ;;
  err) printf 'ERR: mail server refused\r\n' ;;
  none) ;;
esac
exit 0
