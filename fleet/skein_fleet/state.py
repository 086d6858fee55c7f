"""A rollout and each box's place in it: the one shape in which the plan
hands them to the waves (as an Ansible fact), the journal replays them and
the summary tells them."""

from dataclasses import asdict, dataclass, field, fields

# What became of a box, in the rollout's summary and report.
UPDATED = "updated"
ROLLED_BACK = "rolled back"
FAILED = "failed"
SKIPPED = "skipped"
UNTOUCHED = "untouched"
OUTCOMES = (UPDATED, ROLLED_BACK, FAILED, SKIPPED, UNTOUCHED)

# How far a box got: read by the plan, sent its /update or its /rollback
# (and not judged yet), judged.
PLANNED = "planned"
UPDATE_SENT = "update sent"
ROLLBACK_SENT = "rollback sent"
JUDGED = "judged"

ALREADY_ON = "already on %s"


def _from_fact(cls, fact):
    return cls(**{item.name: fact[item.name] for item in fields(cls) if item.name in fact})


@dataclass
class BoxState:
    """One box: the version and status it had when the rollout read it
    (None when unknown), its outcome so far and why, its wave (None when
    it has none), which attempt at the version this is, and its phase."""
    name: str
    before: str = None
    status: str = None
    outcome: str = UNTOUCHED
    detail: str = ""
    wave: int = None
    attempt: int = 1
    phase: str = PLANNED

    def on(self, version):
        """The version the box is known to be on after its verdict, None
        when it failed, "" when the verdict says nothing of it."""
        if self.outcome == UPDATED or (self.outcome == SKIPPED and self.detail == ALREADY_ON % version):
            return version
        if self.outcome == ROLLED_BACK:
            return self.before
        return None if self.outcome == FAILED else ""

    def to_fact(self):
        return asdict(self)

    @classmethod
    def from_fact(cls, fact):
        return _from_fact(cls, fact)


@dataclass
class Rollout:
    """The rollout: its version, every box by name in inventory order, the
    waves this run goes through (box names, in order), the journal's path
    (None in check mode), the JSON report's path, and whether this run
    goes on from an earlier one's journal."""
    version: str
    boxes: dict = field(default_factory=dict)
    waves: list = field(default_factory=list)
    journal: str = None
    check_mode: bool = False
    report: str = None
    resumed: bool = False

    def to_fact(self):
        fact = asdict(self)
        fact["boxes"] = {name: state.to_fact() for name, state in self.boxes.items()}
        return fact

    @classmethod
    def from_fact(cls, fact):
        rollout = _from_fact(cls, fact)
        rollout.boxes = {name: BoxState.from_fact(state) for name, state in fact["boxes"].items()}
        return rollout
