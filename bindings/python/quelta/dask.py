"""Many files on a Dask cluster: one task per file, the results merged on the client.

    >>> from distributed import Client
    >>> import quelta.dask
    >>> client = Client("tcp://scheduler:8786")
    >>> result = quelta.dask.aggregate("/landing/2024-*/*.csv", "price", where=("city", "==", "Oslo"), client=client)
    >>> result.value.mean, result.failures

Every worker must import this package and read the files under the same paths
(a shared filesystem): a task carries a file's path and the call's small
arguments, never the file's bytes. Dask and its distributed scheduler are
imported on the first call, so the rest of the package works without them.

Every call takes the read keywords of :func:`quelta.open` (``delimiter``,
``quoting``, ``line_ends``, ``encoding``, ``format``, ``nested``), checks them
on the client and reads every file with them.

Every call returns a :class:`Result`: the merged ``value``, the per-file
results in input order (``per_file``, pairs of path and result) and the files
that failed (``failures``, pairs of path and message). With
``errors="raise"`` the first failure to arrive is raised instead (the other
tasks are cancelled and waited for) with the file's path in a note. A task
that is already running when its call raises cannot be stopped; it may go on
for a while, and :func:`validate_to_files` makes sure that such a task
publishes nothing.
"""

from __future__ import annotations

import functools
import glob
import os
import pickle
import uuid
from collections.abc import Callable, Iterable
from dataclasses import asdict, dataclass, field, is_dataclass
from operator import itemgetter
from typing import Any, Literal, NamedTuple, Unpack

from . import _lib, _staging, errors as _errors, where as _where
from ._read_options import ReadKeywords, ReadSettings, read_settings
from ._fields import Mode, check_mode
from .scanner import AggregateResult, Row, open as _open
from .validation import Schema, ValidationReport, ValidationStats, schema_text, validate as _validate
from .validation import split as _split

ErrorMode = Literal["collect", "raise"]


class Failure(NamedTuple):
    """A file whose task failed, with the reason (the library's message where it has one)."""

    path: str
    message: str


class ColumnsDiffer(_errors.Error, ValueError):
    """Files whose column directories differ from the first file's; ``paths`` names them
    and ``result`` holds every file's directory."""

    def __init__(self, message: str, paths: list[str] | None = None, result: "Result | None" = None) -> None:
        super().__init__(message, None)
        self.paths = paths or []
        self.result = result


@dataclass(frozen=True)
class Result:
    """A merged value, the per-file results in input order and the failed files."""

    value: Any
    per_file: list[tuple[str, Any]]
    failures: list[Failure] = field(default_factory=list)

    @property
    def ok(self) -> bool:
        """Whether every file succeeded."""
        return not self.failures

    def to_pandas(self) -> Any:
        """The per-file results as a pandas DataFrame (one row per file; needs pandas)."""
        import pandas

        def flat(item: Any) -> dict[str, Any]:
            if is_dataclass(item):
                return {k: v for k, v in asdict(item).items() if not isinstance(v, (list, dict))}
            return {"value": item}

        return pandas.DataFrame([{"path": path, **flat(item)} for path, item in self.per_file])


@dataclass(frozen=True)
class ValidationSummary:
    """Totals of several files' validation reports: counts and per-rule counts summed;
    ``truncated`` when any file kept fewer breaches than it found."""

    rows_total: int
    rows_valid: int
    rows_invalid: int
    errors_total: int
    truncated: bool
    counts: dict[str, int]

    @property
    def valid(self) -> bool:
        return self.rows_invalid == 0


@dataclass(frozen=True)
class WrittenFiles:
    """The outputs written for one input and their statistics."""

    valid_path: str
    invalid_path: str
    stats: ValidationStats


# ---- client side: inputs, the cluster, running one task per file ------------------


def expand(paths: Any) -> list[str]:
    """The input files: a list of paths as given, or a glob pattern (``*``, ``?``,
    ``[``; ``**`` crosses folders) expanded on the client, sorted, folders left out.
    A pattern that matches no file raises FileNotFound; one path without wildcards
    is taken as it is."""
    if isinstance(paths, (str, bytes, os.PathLike)):
        pattern = os.fsdecode(paths)
        if not glob.has_magic(pattern):
            return [pattern]
        found = sorted(p for p in glob.glob(pattern, recursive=True) if not os.path.isdir(p))
        if not found:
            raise _errors.FileNotFound(f"no file matches {pattern!r}", "FileNotFound")
        return found
    if not isinstance(paths, Iterable):
        raise TypeError(f"paths is a list of paths or a glob pattern, not {type(paths).__name__}")
    return [os.fsdecode(p) for p in paths]


def _client(client: Any) -> Any:
    try:
        import distributed
    except ImportError as exc:
        raise ImportError("quelta.dask needs Dask's distributed scheduler (Debian: python3-distributed)") from exc
    if client is not None:
        return client
    try:
        return distributed.default_client()
    except ValueError:
        raise ValueError("no Dask client: pass client=, or create a distributed.Client first") from None


def _guarded(task: Callable[..., Any], args: tuple[Any, ...], path: str, *own: Any) -> tuple[bool, Any]:
    """Runs on a worker: one file's task, its failure handed back as a value."""
    try:
        return True, task(path, *own, *args)
    except Exception as exc:  # noqa: BLE001 - every failure belongs to its file
        try:
            pickle.dumps(exc)
        except Exception:  # noqa: BLE001
            exc = _errors.Error(f"{type(exc).__name__}: {exc}")
        return False, exc


def _message(exc: BaseException) -> str:
    return exc.message if isinstance(exc, _errors.Error) else f"{type(exc).__name__}: {exc}"


def _run(
    client: Any,
    paths: list[str],
    task: Callable[..., Any],
    args: tuple[Any, ...],
    errors: ErrorMode,
    *own: list[Any],
    settle: Callable[[int, Any], Any] | None = None,
) -> tuple[list[tuple[str, Any]], list[Failure]]:
    """Runs task(path, *own values of the path, *args) once per path on the
    cluster; the successes and the failures, each in input order. ``settle(i,
    value)``, when given, takes each task's value on the client as it arrives and
    gives the file's result, or raises to fail the file. Before returning or
    raising, every task started is finished or cancelled."""
    if errors not in ("collect", "raise"):
        raise ValueError("errors must be 'collect' or 'raise'")
    if not paths:
        return [], []
    client = _client(client)
    from distributed import as_completed, wait

    run = functools.partial(_guarded, task, args)  # opaque to the graph: args are not read as tasks
    tag = uuid.uuid4().hex[:12]
    keys = [f"quelta-{task.__name__.strip('_')}-{tag}-{i}" for i in range(len(paths))]
    futures = client.map(run, paths, *own, key=keys, pure=False)
    index = {f.key: i for i, f in enumerate(futures)}
    outcomes: list[tuple[bool, Any]] = [(False, None)] * len(paths)
    try:
        # Results are fetched a batch of finished tasks at a time, not one round trip each.
        for batch in as_completed(futures).batches():
            finished = [f for f in batch if f.status == "finished"]
            settled = list(zip(finished, client.gather(finished) if finished else []))
            for future in batch:
                if future.status == "error":  # the task itself could not run (a lost worker, ...)
                    settled.append((future, (False, future.exception())))
                elif future.status != "finished":
                    settled.append((future, (False, _errors.Error(f"task {future.status}"))))
            for future, payload in settled:
                i = index[future.key]
                if payload[0] and settle is not None:
                    try:
                        payload = (True, settle(i, payload[1]))
                    except Exception as exc:  # noqa: BLE001 - the file's own failure
                        payload = (False, exc)
                if not payload[0] and errors == "raise":
                    exc = payload[1]
                    exc.add_note(f"while processing {paths[i]}")
                    raise exc
                outcomes[i] = payload
    finally:
        client.cancel(futures)  # a no-op for the finished ones; stops the rest on a raise
        try:
            wait(futures, timeout=60)  # cancelled ones settle at once
        except Exception:  # noqa: BLE001 - the call's own outcome comes first
            pass
    done = [(paths[i], value) for i, (ok, value) in enumerate(outcomes) if ok]
    failed = [Failure(paths[i], _message(exc)) for i, (ok, exc) in enumerate(outcomes) if not ok]
    return done, failed


def _check_column(column: Any) -> None:
    if isinstance(column, bool) or not isinstance(column, (str, bytes, int)):
        raise TypeError(f"a column is a name or an index, not {type(column).__name__}")
    if isinstance(column, int):
        _lib.size_arg(column, "a column index")


# ---- worker side: one file each ------------------------------------------------------


# Each takes the call's checked read keywords as a ReadSettings (small, picklable).


def _count_file(path: str, where: Any, read: ReadSettings) -> int:
    with _open(path, where=where, **read.keywords()) as rows:
        return rows.count()


def _aggregate_file(path: str, column: Any, where: Any, read: ReadSettings) -> AggregateResult:
    with _open(path, where=where, **read.keywords()) as rows:
        return rows.aggregate(column)


def _topk_file(
    path: str, column: Any, k: int, descending: bool, where: Any, mode: Mode, read: ReadSettings
) -> list[tuple[float, Row]]:
    with _open(path, where=where, mode=mode, **read.keywords()) as rows:
        return rows.topk(column, k, descending)


def _columns_file(path: str, read: ReadSettings) -> tuple[str, ...]:
    with _open(path, **read.keywords()) as rows:
        return rows.header


def _validate_file(path: str, schema: bytes, max_errors: int, mode: Mode, read: ReadSettings) -> ValidationReport:
    return _validate(path, schema, max_errors, mode=mode, **read.keywords())


def _split_file(
    path: str, valid_path: str, invalid_path: str, schema: bytes, token: str, read: ReadSettings
) -> tuple[ValidationStats, list[str]]:
    """Writes one input's outputs under this attempt's own temporary names in the
    output folder and hands back their names with the statistics; publishing is
    the client's. Attempts never share names, so a retry needs nothing of an
    earlier one, and an attempt that finds its call ended (the call's marker
    gone) removes what it wrote."""
    finals = (valid_path, invalid_path)
    for final in finals:
        if os.path.lexists(final):
            raise _errors.FileExists(f"output exists: {final}", "PathAlreadyExists")
    marker = _staging.marker_path(os.path.dirname(valid_path), token)
    if not os.path.exists(marker):
        raise _errors.Error("the call has ended")
    attempt = _staging.new_attempt()
    temps = [_staging.temp_path(final, token, attempt) for final in finals]
    stats = _split(_lib.fsencode(path), schema, *(os.fsencode(t) for t in temps), read)
    if not os.path.exists(marker):  # checked after writing: a sweep either saw these files or runs after this
        _staging.discard(temps)
        raise _errors.Error("the call has ended")
    return stats, temps


# ---- the calls ---------------------------------------------------------------------


def count(
    paths: Any, where: Any = None, *, client: Any = None, errors: ErrorMode = "collect", **read: Unpack[ReadKeywords]
) -> Result:
    """Rows of every file that match ``where`` (see :func:`quelta.open`); value: the total."""
    _where.conditions(where)  # a bad condition fails here, not once per file
    settings = read_settings(read, "count")
    done, failed = _run(client, expand(paths), _count_file, (where, settings), errors)
    return Result(sum(n for _, n in done), done, failed)


def merge_aggregates(results: Iterable[AggregateResult]) -> AggregateResult:
    """Per-file aggregates, in file order, merged as one pass over their rows would
    give: counts added, min and max compared strictly (an equal later value never
    replaces an earlier one), files without values left out, the mean taken from
    the merged sum. The sum adds the per-file sums from left to right: exactly the
    one pass when the values are integers (below 2**53), otherwise it may differ
    from a single running sum in the last bits, as floating addition depends on
    grouping."""
    n, total, lo, hi, seen = 0, 0.0, 0.0, 0.0, False
    for r in results:
        if not r.has_values:
            continue
        n += r.count
        total += r.sum
        if not seen:
            lo, hi, seen = r.min, r.max, True
        else:
            lo = r.min if r.min < lo else lo
            hi = r.max if hi < r.max else hi
    return AggregateResult(n, total, lo, hi, total / n if n else 0.0, seen)


def aggregate(
    paths: Any,
    column: Any,
    where: Any = None,
    *,
    client: Any = None,
    errors: ErrorMode = "collect",
    **read: Unpack[ReadKeywords],
) -> Result:
    """Count, sum, min, max and mean of a column's numeric values over every file
    (see :func:`merge_aggregates`); value: an :class:`quelta.AggregateResult`."""
    _check_column(column)
    _where.conditions(where)
    settings = read_settings(read, "aggregate")
    done, failed = _run(client, expand(paths), _aggregate_file, (column, where, settings), errors)
    return Result(merge_aggregates(r for _, r in done), done, failed)


def topk(
    paths: Any,
    column: Any,
    k: int,
    descending: bool = True,
    where: Any = None,
    *,
    mode: Mode = "str",
    client: Any = None,
    errors: ErrorMode = "collect",
    **read: Unpack[ReadKeywords],
) -> Result:
    """The k rows of all files with the largest (smallest) numeric key, best first;
    value: a list of (key, row, path). Each file gives its own top k, and equal
    keys keep file order, then each file's own order."""
    _check_column(column)
    k = _lib.size_arg(k, "k")
    check_mode(mode, "strict")
    _where.conditions(where)
    settings = read_settings(read, "topk")
    done, failed = _run(client, expand(paths), _topk_file, (column, k, bool(descending), where, mode, settings), errors)
    candidates = [(key, row, path) for path, best in done for key, row in best]
    merged = sorted(candidates, key=itemgetter(0), reverse=bool(descending))  # stable either way
    return Result(merged[:k], done, failed)


def columns(paths: Any, *, client: Any = None, errors: ErrorMode = "collect", **read: Unpack[ReadKeywords]) -> Result:
    """The column directory shared by every file; value: the names. Raises
    :class:`ColumnsDiffer` naming every file whose directory differs from the
    first readable file's."""
    settings = read_settings(read, "columns")
    done, failed = _run(client, expand(paths), _columns_file, (settings,), errors)
    result = Result(done[0][1] if done else (), done, failed)
    differ = [path for path, names in done if names != result.value]
    if differ:
        first = done[0][0]
        raise ColumnsDiffer(
            f"columns differ from those of {first} ({', '.join(result.value)}): {', '.join(differ)}", differ, result
        )
    return result


def validate(
    paths: Any,
    schema: Schema,
    max_errors: int = 0,
    *,
    mode: Mode = "str",
    client: Any = None,
    errors: ErrorMode = "collect",
    **read: Unpack[ReadKeywords],
) -> Result:
    """Validates every file against a schema (see :func:`quelta.validate`; each file
    keeps its first ``max_errors`` breaches). value: a :class:`ValidationSummary`;
    per_file: each file's :class:`quelta.ValidationReport` with its path."""
    raw = schema_text(schema)
    max_errors = _lib.size_arg(max_errors, "max_errors")
    check_mode(mode, "strict")
    settings = read_settings(read, "validate")
    done, failed = _run(client, expand(paths), _validate_file, (raw, max_errors, mode, settings), errors)
    counts: dict[str, int] = {}
    for _, report in done:
        for rule, n in report.counts.items():
            counts[rule] = counts.get(rule, 0) + n
    summary = ValidationSummary(
        sum(r.rows_total for _, r in done),
        sum(r.rows_valid for _, r in done),
        sum(r.rows_invalid for _, r in done),
        sum(r.errors_total for _, r in done),
        any(r.truncated for _, r in done),
        counts,
    )
    return Result(summary, done, failed)


def output_names(paths: list[str], out_dir: str) -> list[tuple[str, str]]:
    """Per input, its valid-rows and invalid-rows output paths under out_dir: the
    input's name without its last suffix, then ".valid.csv" and ".invalid.jsonl";
    a name taken by an earlier input of the same call gets "-2", "-3", ..."""
    taken: set[str] = set()
    names = []
    for path in paths:
        stem = os.path.splitext(os.path.basename(path))[0] or "input"
        name, n = stem, 1
        while name in taken:
            n += 1
            name = f"{stem}-{n}"
        taken.add(name)
        names.append((os.path.join(out_dir, name + ".valid.csv"), os.path.join(out_dir, name + ".invalid.jsonl")))
    return names


def validate_to_files(
    paths: Any,
    schema: Schema,
    out_dir: Any,
    *,
    client: Any = None,
    errors: ErrorMode = "collect",
    **read: Unpack[ReadKeywords],
) -> Result:
    """Writes each file's valid rows (CSV) and invalid rows (JSON lines) under out_dir
    (created if needed) with names from :func:`output_names`. An output that exists
    fails its file (nothing is overwritten); a failed file leaves no output.
    value: the total :class:`quelta.ValidationStats`; per_file: :class:`WrittenFiles`.

    Tasks write under temporary names (``.quelta-tmp-...``) in out_dir and only the
    client publishes, a file's pair at once, as its task's result arrives: a pair
    is complete or absent, an attempt lost with its worker leaves nothing
    published and its retry counts once, and nothing is published after the call
    returns or raises. Temporaries are removed when the call ends, and those of a
    call that died by the next call into out_dir (see docs/scaling.md)."""
    raw = schema_text(schema)
    settings = read_settings(read, "validate_to_files")
    inputs = expand(paths)
    out = os.path.abspath(os.fsdecode(out_dir))
    os.makedirs(out, exist_ok=True)
    names = output_names(inputs, out)
    with _staging.Staging([out], old=_staging.OLD_DASK_PART) as stage:

        def publish(i: int, written: tuple[ValidationStats, list[str]]) -> WrittenFiles:
            stats, temps = written
            try:
                stage.publish(list(zip(temps, names[i])))
            except FileExistsError as exc:
                raise _errors.FileExists(f"output exists: {exc.filename}", "PathAlreadyExists") from None
            return WrittenFiles(*names[i], stats)

        valid, invalid = ([v for v, _ in names], [n for _, n in names])
        done, failed = _run(
            client, inputs, _split_file, (raw, stage.token, settings), errors, valid, invalid, settle=publish
        )
    total = ValidationStats(
        *(sum(getattr(w.stats, f) for _, w in done) for f in ("rows_total", "rows_valid", "rows_invalid", "errors_total"))
    )
    return Result(total, done, failed)


# ---- DataFrames: one partition per file --------------------------------------------


def _nullable(dtypes: Any) -> dict[str, Any]:
    # Integer and boolean columns in the form that holds a missing value, so
    # files with and without blanks give partitions of one type.
    return {name: {"int64": "Int64", "bool": "boolean"}.get(str(t), t) for name, t in dtypes.items()}


def _table_part(path: str, columns: Any, where: Any, negate: bool, dtypes: Any, threads: int,
                read: dict[str, Any], types: dict[str, Any]) -> Any:  # fmt: skip
    from .tables import read_table as _read_table

    frame = _read_table(path, columns, where, negate, dtypes, threads, **read)
    differ = {name: t for name, t in types.items() if str(frame[name].dtype) != str(t)}
    return frame.astype(differ) if differ else frame


def read_table(
    paths: Any,
    columns: Any = None,
    where: Any = None,
    negate: bool = False,
    dtypes: Any = None,
    threads: int = 0,
    **read: Unpack[ReadKeywords],
) -> Any:
    """The files (a path, a glob pattern or a list of them, expanded as the other
    calls do) as one ``dask.dataframe.DataFrame`` with one partition per file, in
    input order; each partition is :func:`quelta.read_table` of its file, read on
    a worker when the frame is computed (``threads`` per task).

    The column types come from the first file, read once on the client (or from
    ``dtypes``), with integer and boolean columns nullable (``Int64``,
    ``boolean``) so files with and without blanks agree; every partition is cast
    to them, and a file whose values do not fit fails when it is computed.
    Needs dask.dataframe (Debian: python3-dask, python3-pandas)."""
    import dask.dataframe as dd

    from .tables import read_table as _read_table

    read_settings(dict(read), "read_table")  # checked on the client
    inputs = expand(paths)
    if not inputs:
        raise ValueError("read_table needs at least one file")
    first = _read_table(inputs[0], columns, where, negate, dtypes, threads, **read)
    types = _nullable(first.dtypes.to_dict())
    meta = first.iloc[:0].astype(types)
    del first
    part = functools.partial(
        _table_part, columns=columns, where=where, negate=negate, dtypes=dtypes, threads=threads, read=dict(read),
        types=types,
    )  # fmt: skip
    return dd.from_map(part, inputs, meta=meta, label="quelta-read-table", enforce_metadata=False)
