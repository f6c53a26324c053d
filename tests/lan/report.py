"""The robustness report of test_abuse: one Markdown section per abuse, with
what was sent, whether a station went down, what the stations showed and how
the honest message after it fared."""
import collections
import re
import time

DOBA = re.compile(r"DOBA PRENOSU: \d+ms\.")
ADDR = re.compile(r"\d+\.\d+\.\d+\.\d+")


def line_kind(pane, text):
    """A station line's kind for counting, None for separators and ends."""
    if pane == "messages":
        if text == "":
            return None
        if DOBA.fullmatch(text):
            return "DOBA PRENOSU: Nms."
        if " -> JA : " in text:
            return "A -> JA : text"
        if text.startswith("JA -> "):
            return "JA -> R : text"
        return "(route address)" if ADDR.fullmatch(text) else text
    if pane == "transfers":
        return "PRENOS: A -> B -> C" if text.startswith("PRENOS: ") else text
    return {"stations": "(list redrawn)", "stderr": "(a line on stderr)"}.get(pane)


def kinds(station, since=0):
    """Counter of (pane, kind) over a station's lines from `since` on."""
    with station.cond:
        recs = station.records[since:]
    return collections.Counter((p, k) for _, p, t in recs for k in [line_kind(p, t)] if k)


class Section:
    def __init__(self, title, inputs):
        self.title, self.inputs = title, inputs
        self.shown = {}           # station address -> Counter of (pane, kind)
        self.notes = []
        self.honest = "not reached"
        self.crashes = None
        self.passed = False


class Report:
    def __init__(self, title):
        self.title, self.sections = title, []

    def section(self, title, inputs):
        s = Section(title, inputs)
        self.sections.append(s)
        return s

    def markdown(self, binary):
        out = ["# %s" % self.title, "",
               "Station binary: `%s`; written %s." % (binary, time.strftime("%Y-%m-%d %H:%M:%S")), ""]
        for i, s in enumerate(self.sections, 1):
            out += ["## %d. %s%s" % (i, s.title, "" if s.passed else " (TEST FAILED)"), "",
                    "- Inputs: %s" % s.inputs,
                    "- Crashes: %s" % ("unknown" if s.crashes is None else s.crashes),
                    "- Honest message after it: %s" % s.honest]
            out += ["- %s" % n for n in s.notes]
            for addr, counts in sorted(s.shown.items()):
                out += ["", "What %s showed:" % addr, "", "| pane | line | count |", "|---|---|---:|"]
                out += ["| %s | `%s` | %d |" % (p, k, n) for (p, k), n in sorted(counts.items())]
                if not counts:
                    out.append("| | (nothing) | 0 |")
            out.append("")
        return "\n".join(out)

    def write(self, path, binary):
        with open(path, "w", encoding="utf-8") as f:
            f.write(self.markdown(binary))
