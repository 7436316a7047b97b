"""``python -m orvanel``: the command line."""

from orvanel.cli import main

raise SystemExit(main())
