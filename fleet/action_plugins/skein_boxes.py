"""Action skein_boxes: the control-API work for many boxes from one task.

Run once per play batch (run_once), it takes the boxes by their inventory
names, reads how to reach each from its host variables (skein_base_url,
skein_client_cert, skein_client_key, skein_ca_cert, skein_request_timeout)
and sends the requests from this one controller process, `workers` at a
time. Its per-box results come back as one registered result or fact; the
playbooks turn them into host failures, so that waves, the failure
threshold and the recap stay Ansible's.

  op: status   the report of status.yml (lines, and readings per box)
  op: plan     takes the fleet lock, reads the boxes before a rollout (or
               what a journal left to do) and starts the journal: fact
               skein_rollout
  op: wave     updates the boxes of the batch; a failed box is rolled back
"""

import os
import sys

_HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if _HERE not in sys.path:
    sys.path.insert(0, _HERE)

from ansible.errors import AnsibleActionFail  # noqa: E402
from ansible.plugins.action import ActionBase  # noqa: E402

from skein_fleet import client, journal, lock, plan, state, status_report, wave  # noqa: E402


def _box(hostvars, name):
    host = hostvars[name]
    if "skein_base_url" not in host:
        raise AnsibleActionFail("%s: the inventory gives no skein_base_url for this box" % name)
    return client.Box(name, host["skein_base_url"], host.get("skein_client_cert"),
                      host.get("skein_client_key"), host.get("skein_ca_cert"),
                      float(host.get("skein_request_timeout", 10)))


def _take_lock(directory, owner, journal_path):
    try:
        lock.acquire(directory, owner, journal_path)
    except OSError as error:
        raise plan.ControllerFault("cannot take the fleet lock in %s: %s; no update was sent" % (
            directory, error.strerror))


class ActionModule(ActionBase):
    TRANSFERS_FILES = False
    _supports_check_mode = True

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        args = self._task.args
        boxes = [_box(task_vars["hostvars"], name) for name in args["boxes"]]
        workers = int(args.get("workers", 32))
        operation = getattr(self, "_" + args["op"])
        try:
            result.update(operation(args, boxes, workers))
        except (plan.ControllerFault, lock.Busy) as error:
            raise AnsibleActionFail(str(error))
        return result

    def _status(self, args, boxes, workers):
        text, readings = status_report.make(boxes, workers)
        return {"report": text, "lines": text.splitlines(), "boxes": readings, "changed": False}

    def _plan(self, args, boxes, workers):
        check, directory, resume = bool(self._task.check_mode), args["journal_dir"], args.get("resume")
        # The lock belongs to ansible-playbook itself, which runs this action
        # in a child process: it is held until the playbook ends.
        owner = os.getppid()
        if not check:
            _take_lock(directory, owner, resume or "(being planned)")
        try:
            waves = args["waves"]
            if resume:
                try:
                    records = journal.read(resume)
                except OSError as error:
                    raise plan.ControllerFault("cannot read the journal %s: %s" % (resume, error.strerror))
                rollout = plan.resume(boxes, records, args.get("version"), args["unreachable"], workers, directory)
                waves = journal.replay(records)[0].get("waves")
            else:
                rollout = plan.make(boxes, args["version"], args["unreachable"], waves, workers, directory)
            rollout.check_mode, rollout.report = check, args.get("report")
            if not check:
                plan.start(rollout, directory, resume, waves).close()
                _take_lock(directory, owner, rollout.journal)
        except BaseException:
            if not check:
                lock.release(directory, owner)
            raise
        fact = rollout.to_fact()
        # The hosts and batches of the waves' play: none in check mode,
        # which only shows.
        fact.update(hosts=[] if check else [name for names in rollout.waves for name in names],
                    sizes=[len(names) for names in rollout.waves] or [1], lock=directory)
        return {"skein": "plan", "ansible_facts": {"skein_rollout": fact}, "changed": False}

    def _wave(self, args, boxes, workers):
        # The boxes' states come from the journal, which is the truth and
        # far smaller to hand over than the whole plan.
        try:
            run, states = journal.replay(journal.read(args["journal"]))
            book = journal.Journal(args["journal"])
        except OSError as error:
            raise AnsibleActionFail("cannot use the journal %s: %s; no update was sent in this wave" % (
                args["journal"], error.strerror))
        rollout = state.Rollout(run["version"], boxes=states, journal=args["journal"])
        names = [box.name for box in boxes]
        done = {"skein": "wave", "wave": states[names[0]].wave, "stopped": "", "boxes": {}, "failed_boxes": []}
        # A rollout stopped in an earlier wave stays stopped, whether or not
        # the stop file is still there.
        if run.get("stops"):
            book.close()
            return dict(done, stopped=run["stops"][0]["why"])
        settings = wave.Settings(args["poll_interval"], args["poll_timeout"], workers, args["unreachable"])
        running = wave.Wave(rollout, names, {box.name: box for box in boxes}, settings, book, args["stop_file"])
        try:
            judged = running.run()
        finally:
            book.close()
        failed = [name for name in names if judged[name].outcome in (state.FAILED, state.ROLLED_BACK)]
        changed = any(box.phase != state.PLANNED for box in judged.values())
        return dict(done, stopped=running.stopped, boxes={name: {"detail": judged[name].detail} for name in failed},
                    failed_boxes=failed, changed=changed, journal_error=book.broken)
