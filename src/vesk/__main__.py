"""`python -m vesk` runs the `vesk` command."""
import sys

from vesk._cli import main

sys.exit(main())
