"""Prints what became of every box at the end of rollout.yml, however it
ended (all waves ran, a wave failed, the stop file, check mode), as the
rollout's journal tells it; writes it as JSON to the file named by
rollout_report; ends the run in the journal and frees the fleet lock.
Needs no enabling: Ansible loads it for the playbooks beside it, and it
stays silent for any other."""

import json
import os
import sys

_HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if _HERE not in sys.path:
    sys.path.insert(0, _HERE)

from ansible.plugins.callback import CallbackBase  # noqa: E402

from skein_fleet import journal, lock, summary  # noqa: E402
from skein_fleet.state import Rollout  # noqa: E402


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = "aggregate"
    CALLBACK_NAME = "skein_rollout_summary"
    CALLBACK_NEEDS_ENABLED = False

    def __init__(self):
        super().__init__()
        self._plan = None
        self._journal_errors = []

    def v2_runner_on_ok(self, result):
        data = result._result
        if data.get("skein") == "plan":
            self._plan = json.loads(json.dumps(data["ansible_facts"]["skein_rollout"]))
        elif data.get("skein") == "wave" and data.get("journal_error"):
            self._journal_errors.append(data["journal_error"])

    def _told_by_journal(self, rollout):
        """The journal's account of the boxes, and this run's stops."""
        try:
            run, states = journal.replay(journal.read(rollout.journal))
        except OSError as error:
            self._journal_errors.append("cannot read %s: %s" % (rollout.journal, error.strerror))
            return []
        rollout.boxes.update(states)
        return run.get("stops", [])

    def _end(self, path, end):
        try:
            book = journal.Journal(path)
        except OSError as error:
            self._journal_errors.append("cannot write %s: %s" % (path, error.strerror))
            return
        book.write("end", end=end)
        self._journal_errors += [book.broken] if book.broken else []
        book.close()

    def v2_playbook_on_stats(self, stats):
        if self._plan is None:
            return
        rollout = Rollout.from_fact(self._plan)
        stops = self._told_by_journal(rollout) if rollout.journal else []
        end, headline = summary.how_it_ended(rollout, stops)
        if rollout.journal:
            self._end(rollout.journal, end)
            lock.release(self._plan["lock"], os.getpid())
        lines = [summary.text(rollout, headline)]
        lines += ["the journal is incomplete: %s" % error for error in self._journal_errors]
        self._display.display("\n".join(lines))
        if rollout.report:
            with open(rollout.report, "w") as out:
                json.dump(summary.report(rollout, end), out, indent=1)
                out.write("\n")
