"""python -m vessik: print vessik.show_config()."""

from vessik import show_config

show_config()
