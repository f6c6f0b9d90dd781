"""The partial state of a run writing a file: what lets an interrupted run resume.

It lives in a directory beside the destination (``.NAME.gmms-partial``, on the same file system,
so that the final rename stays atomic): a manifest naming the inputs (path, size, modification
time), the arguments (and a digest of them) and the partition plan, and the part files written
so far. A part under its final name is complete and names its own checksum (see ``parts``), so
the directory itself says what is done, whatever moment a run was killed at.

A run refuses a directory it did not make for these inputs and arguments, naming what differs,
and refuses to start over a directory left by an interrupted run unless asked to resume it.
While a run is going, it holds a lock on the directory, so two runs cannot write one file.
"""

import datetime
import hashlib
import json
import os
import shutil
import uuid

from gmms.errors import GmmsError
from .parts import SUFFIX, Part, parse_part_name, verify

STATE_VERSION = 1
MANIFEST = "manifest.json"
LOCK = "lock"

# How each argument is named to the user when it differs from the interrupted run's.
ARGUMENT_NAMES = {"model": "the model", "scenarios": "--scenarios", "pairs": "--pairs",
                  "out": "--out", "siblings": "--siblings", "batch_pairs": "--batch-pairs",
                  "gmms_version": "the gmms version"}


class ResumeRefused(GmmsError):
    """The partial state beside the destination cannot be used for this run."""


def state_directory(destination):
    directory, name = os.path.split(os.path.abspath(destination))
    return os.path.join(directory, f".{name}.gmms-partial")


def digest(arguments):
    text = json.dumps(arguments, sort_keys=True, separators=(",", ":"))
    return hashlib.sha256(text.encode("utf-8")).hexdigest()


def describe_input(path):
    """What the state remembers of an input table: a file's size and time, or that it is not
    a file (a table in memory cannot be checked, so such a run cannot be resumed)."""
    if path is None:
        return None
    status = os.stat(path)
    return {"path": os.path.abspath(path), "size": status.st_size, "mtime_ns": status.st_mtime_ns}


class RunState:
    """The partial-state directory of one run, locked for as long as the run holds it."""

    def __init__(self, destination, file_format, arguments, inputs, resume):
        self.destination = os.fspath(destination)
        self.format = file_format
        self.directory = state_directory(destination)
        self.arguments = arguments
        self.inputs = inputs
        self.resume = resume
        self.manifest = None
        self._lock = None
        self.resumed = False
        self._open()

    # --- opening: create, or check what an earlier run left --------------------------------

    def _open(self):
        os.makedirs(self.directory, exist_ok=True)
        self._take_lock()
        try:
            if not self._count_parts():
                self._clear()                  # nothing of value: killed before any part
                return
            manifest = self._read_manifest()
            if manifest is None:
                raise ResumeRefused(self._foreign("it holds parts but no manifest"))
            if not self.resume:
                raise ResumeRefused(
                    f"{self.destination}: an interrupted run left its partial state in "
                    f"{self.directory} ({self._count_parts()} complete partitions); run again "
                    f"with --resume to continue it, or remove that directory to start afresh")
            self._check(manifest)
            self.manifest = manifest
            self.resumed = True
        except BaseException:
            self.release()
            raise

    def _take_lock(self):
        try:
            import fcntl
        except ImportError:             # no advisory locks here: one run at a time is on you
            return
        fd = os.open(os.path.join(self.directory, LOCK), os.O_RDWR | os.O_CREAT, 0o644)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            os.close(fd)
            raise GmmsError(f"{self.destination}: another run is writing it right now "
                                 f"(its partial state is in {self.directory})") from None
        self._lock = fd

    def release(self):
        if self._lock is not None:
            os.close(self._lock)
            self._lock = None

    def _read_manifest(self):
        path = os.path.join(self.directory, MANIFEST)
        try:
            with open(path, encoding="utf-8") as file:
                manifest = json.load(file)
        except FileNotFoundError:
            return None
        except (OSError, ValueError) as error:
            raise ResumeRefused(self._foreign(f"unreadable manifest: {error}")) from None
        if (not isinstance(manifest, dict) or manifest.get("version") != STATE_VERSION
                or not isinstance(manifest.get("arguments"), dict)
                or manifest.get("digest") != digest(manifest["arguments"])):
            raise ResumeRefused(self._foreign("its manifest is not one this gmms wrote"))
        return manifest

    def _foreign(self, reason):
        return (f"{self.destination}: cannot resume from {self.directory}: {reason}; "
                "remove that directory to start afresh")

    def _check(self, manifest):
        changes = []
        if manifest["digest"] != digest(self.arguments):
            before = manifest["arguments"]
            for key in sorted(set(before) | set(self.arguments)):
                if before.get(key) != self.arguments.get(key):
                    changes.append(f"{ARGUMENT_NAMES.get(key, key)} was {before.get(key)} and "
                                   f"is now {self.arguments.get(key)}")
        for role, now in self.inputs.items():
            then = manifest["inputs"].get(role)
            if now is None or then is None:
                changes.append(f"the {role} table is not a file, so it cannot be checked")
                continue
            if now["size"] != then["size"]:
                changes.append(f"{now['path']} changed (size {then['size']} -> {now['size']} "
                               "bytes)")
            elif now["mtime_ns"] != then["mtime_ns"]:
                changes.append(f"{now['path']} changed (modified {_time(then['mtime_ns'])} -> "
                               f"{_time(now['mtime_ns'])})")
        if changes:
            raise ResumeRefused(
                f"{self.destination}: cannot resume the interrupted run in {self.directory}: "
                f"{'; '.join(changes)}; run with the same inputs and arguments, or remove that "
                "directory to start afresh")

    def _count_parts(self):
        return sum(parse_part_name(name) is not None for name in os.listdir(self.directory))

    def _clear(self):
        for name in os.listdir(self.directory):
            if name != LOCK:
                _remove_entry(os.path.join(self.directory, name))

    # --- the plan and the parts ------------------------------------------------------------

    @property
    def target(self):
        """The partition size of the interrupted run (None: a fresh run chooses its own)."""
        return self.manifest["target"] if self.manifest else None

    def plan(self, target, cuts, n_pairs):
        """Record the partition plan (fresh run) or check it against the interrupted run's."""
        cuts_digest = hashlib.sha256(json.dumps(cuts).encode()).hexdigest()
        if self.manifest is not None:
            if self.manifest["cuts"] != cuts_digest or self.manifest["pairs"] != n_pairs:
                raise ResumeRefused(
                    f"{self.destination}: cannot resume the interrupted run in "
                    f"{self.directory}: the tables no longer give the same partitions; remove "
                    "that directory to start afresh")
            return
        self.manifest = {"version": STATE_VERSION, "arguments": self.arguments,
                         "digest": digest(self.arguments), "inputs": self.inputs,
                         "target": target, "cuts": cuts_digest, "pairs": n_pairs,
                         "partitions": len(cuts) - 1}
        temporary = os.path.join(self.directory, MANIFEST + ".tmp")
        with open(temporary, "w", encoding="utf-8") as file:
            json.dump(self.manifest, file, indent=1)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, os.path.join(self.directory, MANIFEST))

    def completed(self, cuts):
        """{index: Part} of the parts already on disk and intact; anything else is removed."""
        found = {}
        suffix = SUFFIX[self.format]
        for name in os.listdir(self.directory):
            parsed = parse_part_name(name)
            if name in (LOCK, MANIFEST):
                continue
            if parsed is not None and self.resumed and name.endswith(suffix):
                index, rows, checksum, _ = parsed
                part = Part(index, rows, checksum, name)
                if (index < len(cuts) - 1 and rows == cuts[index + 1] - cuts[index]
                        and index not in found and verify(self.directory, part, self.format)):
                    found[index] = part
                    continue
            _remove_entry(os.path.join(self.directory, name))   # torn, stale or temporary
        return found

    def remove(self):
        """The state goes (the run is complete, or can never be). It is renamed first, so that
        a task still running somewhere finds no directory to write into rather than one being
        emptied under it."""
        self.release()
        doomed = f"{self.directory}.removing-{uuid.uuid4().hex[:8]}"
        try:
            os.rename(self.directory, doomed)
        except FileNotFoundError:
            return
        shutil.rmtree(doomed, ignore_errors=True)

    def keep(self):
        """The run stopped short: what is complete stays for --resume (if there is any)."""
        count = self._count_parts()
        if not count:
            self.remove()
        self.release()
        return count


def _remove_entry(path):
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path, ignore_errors=True)
    else:
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass


def _time(ns):
    moment = datetime.datetime.fromtimestamp(ns / 1e9, tz=datetime.timezone.utc)
    return moment.strftime("%Y-%m-%d %H:%M:%S.%f UTC")
