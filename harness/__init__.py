"""The test harness: the scenario format, its player and checker, both runners, the screenshot tool.

scenario.py describes a machine and reads an outcome; host_runner.py and
wine_runner.py (with wine_session.py, its run inside a namespace of its own)
use it, checker.py compares, play.py is the command.
"""
