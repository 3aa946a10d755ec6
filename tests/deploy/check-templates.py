#!/usr/bin/env python3
"""Checks the Group Policy template against itself and against the program.

Usage: check-templates.py REPOSITORY_ROOT

A template that the policy editor cannot load, that names a text the
language file lacks, or that writes a value Updater.exe never reads fails
silently on the administrator's machine, so each is caught here: xmllint
must accept both files, every string and presentation the .admx uses must
be in the .adml and nothing there may go unused, and the values the
policies write (key, name, type) must be exactly the ones that
src/updater/InstallSettings.cpp reads. Exits 1 and says what differs.
"""

import re
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

NS = {"p": "http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions"}
ADMX = Path("deploy/PolicyDefinitions/Quillbrook.admx")
ADML = Path("deploy/PolicyDefinitions/en-US/Quillbrook.adml")
SOURCE = Path("src/updater/InstallSettings.cpp")
REFERENCE = re.compile(r"\$\((string|presentation)\.([^)]*)\)")


def tag(element):
    return element.tag.split("}", 1)[-1]


def well_formed(path, problems):
    try:
        run = subprocess.run(["xmllint", "--noout", str(path)], capture_output=True, text=True)
    except FileNotFoundError:
        problems.append("xmllint is not installed (Debian package libxml2-utils)")
        return False
    if run.returncode != 0:
        problems.append(f"{path}: xmllint says it is not well-formed:\n{run.stderr.rstrip()}")
        return False
    return True


def check_texts(admx, adml, problems):
    used = {"string": set(), "presentation": set()}
    for element in admx.iter():
        for value in element.attrib.values():
            for kind, name in REFERENCE.findall(value):
                used[kind].add(name)

    defined = {"string": [], "presentation": []}
    for string in adml.iterfind(".//p:stringTable/p:string", NS):
        defined["string"].append(string.get("id"))
    for presentation in adml.iterfind(".//p:presentationTable/p:presentation", NS):
        defined["presentation"].append(presentation.get("id"))

    for kind in ("string", "presentation"):
        ids = defined[kind]
        for name in sorted({i for i in ids if ids.count(i) > 1}):
            problems.append(f"{ADML}: {kind} id '{name}' is defined more than once")
        for name in sorted(used[kind] - set(ids)):
            problems.append(f"{ADMX} uses $({kind}.{name}), which {ADML} lacks")
        for name in sorted(set(ids) - used[kind]):
            problems.append(f"{ADML}: {kind} id '{name}' is used by no policy in {ADMX}")


def check_presentations(admx, adml, problems):
    """Each text box must belong to an element of its policy, and each
    element needs its text box: the editor shows nothing to enter otherwise."""
    controls = {}
    for presentation in adml.iterfind(".//p:presentationTable/p:presentation", NS):
        controls[presentation.get("id")] = {c.get("refId") for c in presentation if c.get("refId")}
    for policy in admx.iterfind(".//p:policies/p:policy", NS):
        element_ids = {e.get("id") for e in policy.iterfind("p:elements/*", NS)}
        match = REFERENCE.fullmatch(policy.get("presentation", ""))
        if not match:
            if element_ids:
                problems.append(f"{ADMX}: policy {policy.get('name')} has elements but no presentation")
            continue
        refs = controls.get(match.group(2), set())
        for name in sorted(element_ids - refs):
            problems.append(f"policy {policy.get('name')}: element '{name}' has no control in its presentation")
        for name in sorted(refs - element_ids):
            problems.append(f"policy {policy.get('name')}: the presentation's control '{name}' names no element")


VALUE_TYPES = {"decimal": "REG_DWORD", "longDecimal": "REG_QWORD", "string": "REG_SZ"}


def element_type(element):
    kind = tag(element)
    if kind == "text":
        return "REG_EXPAND_SZ" if element.get("expandable") == "true" else "REG_SZ"
    if kind == "decimal":
        return "REG_SZ" if element.get("storeAsText") == "true" else "REG_DWORD"
    if kind == "longDecimal":
        return "REG_SZ" if element.get("storeAsText") == "true" else "REG_QWORD"
    if kind == "boolean":
        return "REG_DWORD"
    if kind == "multiText":
        return "REG_MULTI_SZ"
    return None


def template_writes(admx, problems):
    """The (key, value name, type) of every value the policies write."""
    writes = []
    for policy in admx.iterfind(".//p:policies/p:policy", NS):
        name = policy.get("name")
        key = policy.get("key")
        for unsupported in ("p:enabledList", "p:disabledList"):
            if policy.find(unsupported, NS) is not None:
                problems.append(f"policy {name}: {unsupported[2:]} is not understood by this check")
        if policy.get("valueName"):
            # Without enabledValue/disabledValue the editor writes DWORD 1 and 0.
            types = set()
            for state in ("p:enabledValue", "p:disabledValue"):
                holder = policy.find(state, NS)
                if holder is None or len(holder) == 0:
                    types.add("REG_DWORD")
                    continue
                value_type = VALUE_TYPES.get(tag(holder[0]))
                if value_type is None:
                    problems.append(f"policy {name}: {state[2:]} <{tag(holder[0])}> is not understood by this check")
                else:
                    types.add(value_type)
            for value_type in sorted(types):
                writes.append((name, key, policy.get("valueName"), value_type))
        for element in policy.iterfind("p:elements/*", NS):
            value_type = element_type(element)
            if value_type is None:
                problems.append(f"policy {name}: element <{tag(element)}> is not understood by this check")
                continue
            writes.append((name, element.get("key", key), element.get("valueName"), value_type))
    return writes


def c_string(text):
    return re.sub(r"\\(.)", r"\1", text)


def program_reads(source, problems):
    """kPolicyKey and the names and types of kPolicyValues, or None."""
    try:
        text = source.read_text(encoding="utf-8")
    except OSError as error:
        problems.append(f"{SOURCE}: cannot be read ({error.strerror})")
        return None
    key = re.search(r'\bkPolicyKey\s*\[\s*\]\s*=\s*"((?:[^"\\]|\\.)*)"\s*;', text)
    table = re.search(r"\bPolicyValue\s+kPolicyValues\s*\[\s*\]\s*=\s*\{", text)
    if not key:
        problems.append(f'{SOURCE}: no constant kPolicyKey[] = "..."; found')
    if not table:
        problems.append(f"{SOURCE}: no table const PolicyValue kPolicyValues[] = {{ ... }}; found")
    if not key or not table:
        return None
    end = text.find("};", table.end())
    body = text[table.end() : end if end >= 0 else len(text)]
    body = re.sub(r"/\*.*?\*/|//[^\n]*", "", body, flags=re.S)
    entries = re.findall(r'\{\s*"((?:[^"\\]|\\.)*)"\s*,\s*(REG_[A-Z_]+)\s*[,}]', body)
    if not entries:
        problems.append(f"{SOURCE}: the table kPolicyValues has no entries of the form {{\"Name\", REG_TYPE}}")
        return None
    return c_string(key.group(1)), [(c_string(n), t) for n, t in entries]


def check_registry(admx, source, problems):
    writes = template_writes(admx, problems)
    program = program_reads(source, problems)
    if program is None:
        return
    program_key, values = program

    # The registry compares key and value names in any letter case.
    reads = {(program_key.lower(), n.lower()): (n, t) for n, t in values}
    written = {}
    for policy, key, value_name, value_type in writes:
        if not key or not value_name:
            problems.append(f"policy {policy} writes a value without a key or a name")
            continue
        written.setdefault((key.lower(), value_name.lower()), []).append((policy, key, value_name, value_type))

    for slot, entries in sorted(written.items()):
        policy, key, value_name, _ = entries[0]
        if len({e[0] for e in entries}) > 1:
            problems.append(f"{key}\\{value_name} is written by several policies: {', '.join(sorted({e[0] for e in entries}))}")
        if slot not in reads:
            problems.append(
                f"policy {policy} writes {key}\\{value_name}, which the program does not read "
                f"(it reads {program_key}\\{{{', '.join(n for n, _ in values)}}})"
            )
            continue
        wanted = reads[slot][1]
        for other_policy, _, _, value_type in entries:
            if value_type != wanted:
                problems.append(
                    f"policy {other_policy} writes {value_name} as {value_type}; the program reads it as {wanted}"
                )
    for slot, (value_name, value_type) in sorted(reads.items()):
        if slot not in written:
            problems.append(f"the program reads {program_key}\\{value_name} ({value_type}), but no policy writes it")


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    root = Path(sys.argv[1])
    problems = []
    parsed = {}
    for path in (ADMX, ADML):
        if not (root / path).is_file():
            problems.append(f"{path}: missing")
        elif well_formed(root / path, problems):
            parsed[path] = ET.parse(root / path).getroot()
    if len(parsed) == 2:
        admx, adml = parsed[ADMX], parsed[ADML]
        check_texts(admx, adml, problems)
        check_presentations(admx, adml, problems)
        check_registry(admx, root / SOURCE, problems)

    for problem in problems:
        print(problem)
    if problems:
        print(f"FAILED: {len(problems)} problem(s) in the Group Policy template under {root}")
        return 1
    print(f"OK: {ADMX} and {ADML} agree with each other and with {SOURCE}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
