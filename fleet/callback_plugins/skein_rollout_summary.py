"""Prints what became of every box at the end of rollout.yml, however it
ended (all waves ran, a wave failed, the stop file, check mode), and writes
it as JSON to the file named by rollout_report. Needs no enabling: Ansible
loads it for the playbooks beside it, and it stays silent for any other."""

import json
import os
import sys

_HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if _HERE not in sys.path:
    sys.path.insert(0, _HERE)

from ansible.plugins.callback import CallbackBase  # noqa: E402

from skein_fleet import summary  # noqa: E402


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = "aggregate"
    CALLBACK_NAME = "skein_rollout_summary"
    CALLBACK_NEEDS_ENABLED = False

    def __init__(self):
        super().__init__()
        self._rollout = None
        self._stop_file = ""
        self._last_wave = 0

    def v2_runner_on_ok(self, result):
        data = result._result
        if data.get("skein") == "plan":
            self._rollout = json.loads(json.dumps(data["ansible_facts"]["skein_rollout"]))
        elif data.get("skein") == "wave" and self._rollout is not None:
            self._last_wave = data["wave"]
            self._stop_file = data["stopped"]
            for name, outcome in data["boxes"].items():
                self._rollout["boxes"][name].update(outcome)

    def v2_playbook_on_stats(self, stats):
        if self._rollout is None:
            return
        end, headline = summary.how_it_ended(self._rollout, self._stop_file, self._last_wave)
        self._display.display(summary.text(self._rollout, headline))
        if self._rollout.get("report"):
            with open(self._rollout["report"], "w") as out:
                json.dump(summary.report(self._rollout, end), out, indent=1)
                out.write("\n")
