"""Entry point of ``python -m kelvo``: the command-line tool."""

from kelvo._cli import console_main

console_main()
