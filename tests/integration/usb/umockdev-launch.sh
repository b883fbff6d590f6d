#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs a test program under the umockdev preload. The preload library is loaded before the
# AddressSanitizer runtime, which ASan has to be told to accept (sanitizer builds only).
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
export ASAN_OPTIONS
exec umockdev-wrapper "$@"
