#!/usr/bin/env bash
# The test command on every CPython from 3.9 to 3.13; each must be present.
VOSTEL_PYTHONS="3.9 3.10 3.11 3.12 3.13" VOSTEL_REQUIRE_ALL=1 exec bash "$(dirname "$0")/test.sh"
