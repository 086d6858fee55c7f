"""Action skein_boxes: the control-API work for many boxes from one task.

Run once per play batch (run_once), it takes the boxes by their inventory
names, reads how to reach each from its host variables (skein_base_url,
skein_client_cert, skein_client_key, skein_ca_cert, skein_request_timeout)
and sends the requests from this one controller process, `workers` at a
time. Its per-box results come back as one registered result or fact; the
playbooks turn them into host failures, so that waves, the failure
threshold and the recap stay Ansible's.

  op: status   the report of status.yml (lines, and readings per box)
  op: plan     reads the boxes before a rollout: fact skein_rollout
  op: wave     updates the boxes of the batch; a failed box is rolled back
"""

import os
import sys

_HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if _HERE not in sys.path:
    sys.path.insert(0, _HERE)

from ansible.errors import AnsibleActionFail  # noqa: E402
from ansible.plugins.action import ActionBase  # noqa: E402

from skein_fleet import client, plan, status_report, wave  # noqa: E402


def _box(hostvars, name):
    host = hostvars[name]
    if "skein_base_url" not in host:
        raise AnsibleActionFail("%s: the inventory gives no skein_base_url for this box" % name)
    return client.Box(name, host["skein_base_url"], host.get("skein_client_cert"),
                      host.get("skein_client_key"), host.get("skein_ca_cert"),
                      host.get("skein_request_timeout", 10))


class ActionModule(ActionBase):
    TRANSFERS_FILES = False
    _supports_check_mode = True

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        args = self._task.args
        boxes = [_box(task_vars["hostvars"], name) for name in args["boxes"]]
        workers = int(args.get("workers", 32))
        operation = getattr(self, "_" + args["op"])
        result.update(operation(args, boxes, workers))
        return result

    def _status(self, args, boxes, workers):
        text, readings = status_report.make(boxes, workers)
        return {"report": text, "lines": text.splitlines(), "boxes": readings, "changed": False}

    def _plan(self, args, boxes, workers):
        rollout = plan.make(boxes, args["version"], args["unreachable"], args["waves"], workers)
        rollout.update(check_mode=bool(self._task.check_mode), report=args.get("report"))
        # The hosts of the waves' play: none in check mode, which only shows.
        rollout["hosts"] = [] if rollout["check_mode"] else rollout["queue"]
        return {"skein": "plan", "ansible_facts": {"skein_rollout": rollout}, "changed": False}

    def _wave(self, args, boxes, workers):
        rollout = args["plan"]
        number = next(index for index, names in enumerate(rollout["waves"]) if boxes[0].name in names) + 1
        done = {"skein": "wave", "wave": number, "stopped": "", "boxes": {}, "failed_boxes": []}
        if os.path.exists(args["stop_file"]):
            return dict(done, stopped=args["stop_file"])
        settings = wave.Settings(args["poll_interval"], args["poll_timeout"], workers, args["unreachable"])
        before = {name: entry["before"] for name, entry in rollout["boxes"].items()}
        outcomes = wave.Wave(boxes, rollout["version"], before, settings).run()
        failed = [box.name for box in boxes if outcomes[box.name]["outcome"] in (plan.FAILED, plan.ROLLED_BACK)]
        changed = any(outcome["outcome"] != plan.SKIPPED for outcome in outcomes.values())
        return dict(done, boxes=outcomes, failed_boxes=failed, changed=changed)
