"""Entry point of ``python -m kelvo``: the command-line tool."""

if __name__ == "__main__":
    from kelvo._cli import console_main

    console_main()
