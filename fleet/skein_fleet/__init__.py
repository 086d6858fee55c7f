"""The fleet playbooks' work on many boxes at once: requests to the boxes'
control API from one controller process, a few dozen at a time, with the
Python standard library only. Used by action_plugins/skein_boxes.py."""
