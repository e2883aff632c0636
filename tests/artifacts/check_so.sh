#!/bin/sh
# The shared library exports the six functions and nothing else of its own.
set -eu
lib="$1"
expected="KORMELT_CheckCRC
KORMELT_Close
KORMELT_Erase
KORMELT_Open
KORMELT_Programm
KORMELT_Restart"
actual=$(nm -D --defined-only "$lib" | awk '{print $NF}' | sort)
if [ "$actual" != "$expected" ]; then
    echo "dynamic symbols of $lib:"; echo "$actual"
    echo "expected:"; echo "$expected"
    exit 1
fi
echo "$lib exports exactly the six functions"
