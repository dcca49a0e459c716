"""Grading: each scan-profile parameter graded 4 to 0 on its published
bounds, a profile graded by its lowest parameter grade, a symbol by the
mean of its profiles' grades, with the letter that grade rounds to."""
from dataclasses import dataclass, field
from typing import Optional

# Values are graded as measured; this much below a bound still reaches it,
# so a value computed as 0.6999999999 grades as 0.70 does.
_EPS = 1e-9


@dataclass(frozen=True)
class Scale:
    """A continuously graded parameter: the values reaching grades 4, 3, 2
    and 1; anything worse grades 0."""
    name: str
    bounds: tuple
    higher_is_better: bool = True

    def grade(self, value: float) -> int:
        for g, bound in zip((4, 3, 2, 1), self.bounds):
            if (value >= bound - _EPS) if self.higher_is_better else (value <= bound + _EPS):
                return g
        return 0


SYMBOL_CONTRAST = Scale("symbol_contrast", (0.70, 0.55, 0.40, 0.20))
MODULATION = Scale("modulation", (0.70, 0.60, 0.50, 0.40))
DEFECTS = Scale("defects", (0.15, 0.20, 0.25, 0.30), higher_is_better=False)
DECODABILITY = Scale("decodability", (0.62, 0.50, 0.37, 0.25))
# Pass (4) or fail (0).
MIN_EDGE_CONTRAST = 0.15        # ECmin at least this
MIN_REFLECTANCE_SHARE = 0.5     # Rmin at most this share of Rmax

# The parameters of a profile, in the order a tie for the weakest is named.
PARAMETERS = ("decode", "edge_determination", "min_reflectance", "symbol_contrast", "edge_contrast_min",
              "modulation", "defects", "decodability")
LETTERS = ((3.5, "A"), (2.5, "B"), (1.5, "C"), (0.5, "D"))


def letter(grade: float) -> str:
    """The letter a symbol grade (0.0-4.0) rounds to."""
    for bound, name in LETTERS:
        if grade >= bound - _EPS:
            return name
    return "F"


def pass_fail(ok: bool) -> int:
    return 4 if ok else 0


@dataclass
class ProfileGrade:
    """One scan profile's parameters (reflectances as shares of the paper's)
    and their grades; `grade` is the lowest of them. A profile whose edges
    cannot be told apart, or that the reference decode cannot read, grades
    0 whatever else it shows; `reason` then says why."""
    values: dict                     # parameter -> measured value (None where not measured)
    grades: dict                     # parameter -> 0..4
    decoded: Optional[str] = None    # what the reference decode read
    reason: Optional[str] = None

    @property
    def grade(self) -> int:
        return min(self.grades.values())


def grade_profile(measured, decoded) -> ProfileGrade:
    """Grade a measured profile (profile.Measured) and its reference decode
    (decoding.Decoded, or None when the edges failed)."""
    m = measured
    values = {"min_reflectance": m.rmin, "max_reflectance": m.rmax, "symbol_contrast": m.symbol_contrast,
              "edge_contrast_min": m.edge_contrast_min, "modulation": m.modulation, "defects": m.defects,
              "decodability": None}
    grades = {"edge_determination": pass_fail(m.error is None),
              "min_reflectance": pass_fail(m.rmin <= MIN_REFLECTANCE_SHARE * m.rmax + _EPS),
              "symbol_contrast": SYMBOL_CONTRAST.grade(m.symbol_contrast)}
    reason = m.error
    if m.error is None:
        grades["edge_contrast_min"] = pass_fail(m.edge_contrast_min >= MIN_EDGE_CONTRAST - _EPS)
        grades["modulation"] = MODULATION.grade(m.modulation)
        grades["defects"] = DEFECTS.grade(m.defects)
    else:
        grades.update(edge_contrast_min=0, modulation=0, defects=0)
    ok = decoded is not None and decoded.error is None
    grades["decode"] = pass_fail(ok)
    if ok:
        values["decodability"] = decoded.decodability
        grades["decodability"] = DECODABILITY.grade(decoded.decodability)
    else:
        grades["decodability"] = 0
        if reason is None:
            reason = decoded.error if decoded is not None else "not decoded"
    return ProfileGrade(values, {k: grades[k] for k in PARAMETERS}, decoded.text if ok else None, reason)


@dataclass
class Summary:
    """A parameter over all profiles: its mean and the value of the profile
    it grades worst on, and its mean grade."""
    mean: Optional[float]
    worst: Optional[float]
    grade: float


@dataclass
class SymbolGrade:
    grade: float                     # mean of the profile grades, 0.0-4.0
    letter: str
    profiles: list                   # ProfileGrade of each scan
    parameters: dict = field(default_factory=dict)   # name -> Summary
    decoded: Optional[str] = None    # the text most profiles read
    weakest: Optional[str] = None    # the parameter with the lowest mean grade, when the grade is below 4

    @property
    def decodable(self) -> bool:
        return self.decoded is not None


# Which end of a parameter's values is worse.
_WORSE_IS_HIGHER = {"min_reflectance", "defects"}


def grade_symbol(profiles: list) -> SymbolGrade:
    """The symbol grade of graded profiles."""
    if not profiles:
        raise ValueError("no scan profiles to grade")
    total = sum(p.grade for p in profiles) / len(profiles)
    params = {}
    for name in PARAMETERS + ("max_reflectance",):
        vals = [p.values[name] for p in profiles if p.values.get(name) is not None]
        mean_grade = (sum(p.grades[name] for p in profiles) / len(profiles)) if name in PARAMETERS else 4.0
        if vals:
            worst = max(vals) if name in _WORSE_IS_HIGHER else min(vals)
            if name == "max_reflectance":
                worst = min(vals)
            params[name] = Summary(sum(vals) / len(vals), worst, mean_grade)
        else:
            params[name] = Summary(None, None, mean_grade)
    texts = [p.decoded for p in profiles if p.decoded is not None]
    decoded = max(set(texts), key=texts.count) if texts else None
    weakest = None
    if total < 4.0:
        weakest = min(PARAMETERS, key=lambda n: (params[n].grade, PARAMETERS.index(n)))
    return SymbolGrade(round(total, 6), letter(total), profiles, params, decoded, weakest)
