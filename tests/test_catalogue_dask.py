"""The catalogue runner on Dask: a local cluster, and a scheduler with two workers started here.

Every cluster listens on 127.0.0.1 only, every wait is bounded, and the processes started here
are stopped at the end of the module. Every test here is marked ``cluster`` (the check of scheduler
addresses at the end starts none, but belongs with them).
"""

import contextlib
import json
import logging
import os
import pathlib
import re
import signal
import subprocess
import sys
import time
import warnings

import numpy as np
import pandas as pd
import pytest

from gmms import catalogue
from gmms.catalogue import synthetic
from gmms.errors import ScenarioRefused

distributed = pytest.importorskip("distributed")

pytestmark = [pytest.mark.cluster,
              pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")]

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples" / "catalogue"
MODEL_NAMES = ["Tarvik", "Morrand", "Sellwyn"]
WAIT_S = 120


def example(model):
    return EXAMPLES / f"{model.lower()}-scenarios.csv", EXAMPLES / f"{model.lower()}-pairs.csv"


def assert_same(result, reference):
    """Same rows in the same order, and every result the same to the last bit."""
    assert list(result.columns) == list(reference.columns)
    for name in reference.columns:
        a, b = result[name].to_numpy(), reference[name].to_numpy()
        assert a.dtype == b.dtype and (a.view(np.int64) == b.view(np.int64)).all(), name


def read_output(path):
    import h5py

    with h5py.File(path, "r") as file:
        return pd.DataFrame({name: file[name][:] for name in
                             ("scenario_id", "site_id", "mu_im", "median_im", "phi_im",
                              "tau_im")}), dict(file.attrs)


def serial(model, scenarios, pairs, **options):
    return catalogue.run(model, scenarios, pairs, serial=True, **options)


def cli(*args):
    env = dict(os.environ, PYTHONPATH=str(ROOT))
    return subprocess.run([sys.executable, "-m", "gmms.catalogue", *map(str, args)], cwd=ROOT,
                          env=env, capture_output=True, text=True, timeout=WAIT_S + 60)


# --- a local cluster -------------------------------------------------------------------------

@pytest.fixture(scope="module")
def local_client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       host="127.0.0.1", dashboard_address=None,
                                       scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
                                       worker_dashboard_address="127.0.0.1:0",
                                       silence_logs=logging.ERROR)
    client = distributed.Client(cluster, timeout=WAIT_S)
    try:
        client.wait_for_workers(2, timeout=WAIT_S)
        yield client
    finally:
        client.close(timeout=30)
        cluster.close(timeout=30)


def test_embedded_cluster_listens_on_this_machine_only():
    from gmms.run.executors import local_cluster

    def http(dask_worker=None, server=None):
        server = server or dask_worker
        return sorted(sock.getsockname()[:2] for sock in server.http_server._sockets.values())

    cluster = local_cluster(1)
    client = distributed.Client(cluster, timeout=WAIT_S)
    try:
        scheduler = cluster.scheduler
        listening = http(server=scheduler) + [address for addresses in client.run(http).values()
                                              for address in addresses]
        assert {host for host, _ in listening} == {"127.0.0.1"}, listening
        assert 8787 not in {port for _, port in listening}
        assert scheduler.address.startswith("tcp://127.0.0.1:")
        assert all(address.startswith("tcp://127.0.0.1:")
                   for address in client.scheduler_info()["workers"])
    finally:
        client.close(timeout=30)
        cluster.close(timeout=30)


@pytest.mark.parametrize("model", MODEL_NAMES)
@pytest.mark.parametrize("out, workers_see_it", [
    # A DataFrame is always made here, whatever the workers see.
    pytest.param(None, True, id="None-shared"),
    *(pytest.param(out, shared, id=f"{out}-{'shared' if shared else 'not-shared'}")
      for out in ("h5", "csv") for shared in (True, False)),
])
def test_local_cluster_matches_serial(local_client, tmp_path, monkeypatch, model, out,
                                      workers_see_it):
    from gmms.catalogue import runner
    from gmms.run import executors
    from gmms.run.options import RunOptions

    # Workers that do not see the destination send their results here to be written.
    monkeypatch.setattr(executors.ClientExecutor, "writes_to", lambda self, d: workers_see_it)
    scenarios, pairs = example(model)
    destination = tmp_path / f"out.{out}" if out else None
    result, summary = runner.run_with_summary(
        model, scenarios, pairs, RunOptions(client=local_client, batch_pairs=10, timeout=WAIT_S),
        out=destination)
    expected = serial(model, scenarios, pairs, out=tmp_path / f"expected.{out}" if out else None)
    if out is None:
        assert_same(result, expected)
    else:
        assert destination.read_bytes() == expected.read_bytes()
        assert sorted(os.listdir(tmp_path)) == sorted([destination.name, expected.name])
        assert any("their results were sent here" in note
                   for note in summary.notes) is not workers_see_it


def test_tables_in_memory_are_sent_to_the_workers(local_client):
    scenarios, pairs = (pd.read_csv(path) for path in example("Sellwyn"))
    pairs = pairs.sample(frac=1.0, random_state=5).reset_index(drop=True)
    result = catalogue.run("Sellwyn", scenarios, pairs, client=local_client, batch_pairs=7,
                           timeout=WAIT_S)
    assert_same(result, serial("Sellwyn", scenarios, pairs))


def test_refusal_on_a_worker_stops_the_run(local_client, tmp_path):
    scenarios, pairs = example("Tarvik")
    table = pd.read_csv(scenarios)
    table.loc[3, "IM"] = 2
    table.to_csv(tmp_path / "scenarios.csv", index=False)
    with pytest.raises(ScenarioRefused, match=r"^Tarvik refused scenario 104: TypeError: "):
        catalogue.run("Tarvik", tmp_path / "scenarios.csv", pairs, client=local_client,
                      out=tmp_path / "out.h5", batch_pairs=5, timeout=WAIT_S)
    assert os.listdir(tmp_path) == ["scenarios.csv"]


@pytest.mark.subprocess
def test_cli_embedded_cluster_matches_serial(tmp_path):
    scenarios, pairs = example("Sellwyn")
    done = cli("Sellwyn", "--scenarios", scenarios, "--pairs", pairs, "--out",
               tmp_path / "out.h5", "--workers", "2", "--batch-pairs", "9", "--quiet")
    assert done.returncode == 0, done.stderr
    result, attrs = read_output(tmp_path / "out.h5")
    assert attrs["model"] == "Sellwyn" and attrs["IM"] == "Ia"
    assert_same(result, serial("Sellwyn", scenarios, pairs))


@pytest.mark.parametrize("tables, batch_pairs", [("in memory", 3), ("in memory", 40),
                                                  ("files", 11)])
def test_hazard_on_a_local_cluster_has_the_serial_bits(local_client, tables, batch_pairs):
    from helpers import EXAMPLE, LEVELS, assert_same_hazard, rated_catalogue

    from gmms import hazard

    if tables == "files":
        scenarios, pairs = EXAMPLE
    else:
        scenarios, pairs = rated_catalogue("Sellwyn", n_scenarios=9, n_sites=5)
        pairs = pairs.sample(frac=1.0, random_state=2).reset_index(drop=True)
    model = "Tarvik" if tables == "files" else "Sellwyn"
    result = hazard.run(model, scenarios, pairs, levels=LEVELS, client=local_client,
                        batch_pairs=batch_pairs, timeout=WAIT_S)
    assert len(result.disaggregation.site_id) in (3, 5)
    assert_same_hazard(result, hazard.run(model, scenarios, pairs, levels=LEVELS, serial=True))


@pytest.mark.parametrize("batch", [None, 300])
def test_hazard_job_on_a_local_cluster_has_the_serial_bits(local_client, batch):
    from helpers import same_bits

    from gmms.hazard import maps
    from gmms.hazard.job import read_job
    from gmms.run.options import RunOptions

    job = read_job(ROOT / "tests" / "data" / "two-regions" / "job.ini", {
        "models": {"Active Shallow Crust": "Tarvik(IM='CAV') 0.6, Sellwyn(IM=1, region='JP') "
                                          "0.4",
                   "Subduction IntraSlab": "Tarvik(IM=1)"}, "disagg_sites": "11 12"})
    on_cluster = maps.run_job(job, RunOptions(client=local_client, batch_pairs=batch,
                                              timeout=WAIT_S))
    serial = maps.run_job(job, RunOptions(serial=True))
    for name in ("branch_rates", "realization_rates", "annual_rate"):
        assert same_bits(getattr(on_cluster, name), getattr(serial, name)), name
    for name in serial.maps:
        assert same_bits(on_cluster.maps[name], serial.maps[name]), name
    d, e = on_cluster.disaggregation, serial.disaggregation
    assert len(e.site_id) == 2 and same_bits(d.shares, e.shares) and same_bits(d.rate, e.rate)


# --- a scheduler and two workers, as separate processes --------------------------------------

def _command(name):
    # Run by this interpreter, not by the dask-scheduler on PATH, which may be another Python's
    # with another distributed (the CPython 3.9 check runs these tests beside the system's).
    module = {"dask-scheduler": "distributed.cli.dask_scheduler",
              "dask-worker": "distributed.cli.dask_worker"}[name]
    return [sys.executable, "-m", module]


# dask-worker's option for the number of worker processes: --nprocs before distributed 2022.
NWORKERS = "--nworkers" if int(distributed.__version__.split(".")[0]) >= 2022 else "--nprocs"
WORKER_ENV = dict(os.environ, PYTHONPATH=str(ROOT))   # the package, but no sibling directory


@contextlib.contextmanager
def cluster(directory, tls=(), security=None):
    """A scheduler and two workers on 127.0.0.1 as separate processes, and a client of them."""
    scheduler_file = directory / "scheduler.json"
    log = open(directory / "cluster.log", "w")
    processes = []

    def start(*args):
        processes.append(subprocess.Popen([*map(str, args)], cwd=directory, env=WORKER_ENV,
                                          stdout=log, stderr=subprocess.STDOUT))

    client = None
    try:
        start(*_command("dask-scheduler"), "--host", "127.0.0.1", "--port", "0", "--no-dashboard",
              "--scheduler-file", scheduler_file, *(("--protocol", "tls") if tls else ()), *tls)
        deadline = time.monotonic() + WAIT_S
        while not scheduler_file.exists() or not scheduler_file.read_text().strip():
            assert time.monotonic() < deadline, "the scheduler did not start"
            assert processes[0].poll() is None, "the scheduler exited"
            time.sleep(0.2)
        for name in ("w1", "w2"):
            start(*_command("dask-worker"), "--scheduler-file", scheduler_file, "--nthreads",
                  "1", NWORKERS, "1", "--host", "127.0.0.1", "--no-dashboard",
                  "--death-timeout", "60", "--name", name, *tls)
        address = json.loads(scheduler_file.read_text())["address"]
        client = distributed.Client(address, timeout=WAIT_S, security=security)
        client.wait_for_workers(2, timeout=WAIT_S)
        yield address, client
    finally:
        if client is not None:
            client.close(timeout=30)
        for process in reversed(processes):
            process.send_signal(signal.SIGTERM)
        for process in reversed(processes):
            try:
                process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(timeout=30)
        log.close()


@pytest.fixture(scope="module")
def real_cluster(tmp_path_factory):
    with cluster(tmp_path_factory.mktemp("dask-cluster")) as running:
        yield running


@pytest.mark.subprocess
@pytest.mark.parametrize("model", MODEL_NAMES)
def test_scheduler_and_two_workers_match_serial(real_cluster, tmp_path, model):
    address, _ = real_cluster
    scenarios, pairs = example(model)
    done = cli(model, "--scenarios", scenarios, "--pairs", pairs, "--out", tmp_path / "out.h5",
               "--scheduler", address, "--batch-pairs", "10", "--quiet")
    assert done.returncode == 0, done.stderr
    result, _ = read_output(tmp_path / "out.h5")
    assert_same(result, serial(model, scenarios, pairs))


@pytest.mark.subprocess
def test_hazard_on_a_scheduler_has_the_serial_bits(real_cluster, tmp_path):
    from helpers import EXAMPLE, LEVELS, read_hdf5

    from gmms import hazard

    address, _ = real_cluster
    done = subprocess.run(
        [sys.executable, "-m", "gmms", "hazard", "Tarvik", "--scenarios", EXAMPLE[0],
         "--pairs", EXAMPLE[1], "--out", tmp_path / "h.h5", "--scheduler", address,
         "--batch-pairs", "7", "--quiet", "--levels", *map(str, LEVELS)], cwd=ROOT,
        env=dict(os.environ, PYTHONPATH=str(ROOT)), capture_output=True, text=True,
        timeout=WAIT_S + 60)
    assert done.returncode == 0, done.stderr
    top, disaggregation, _ = read_hdf5(tmp_path / "h.h5")
    reference = hazard.run("Tarvik", *EXAMPLE, levels=LEVELS, serial=True)
    for name in ("annual_rate", "uniform_hazard"):
        assert (top[name].view(np.int64) == getattr(reference, name).view(np.int64)).all()
    shares = reference.disaggregation.shares
    assert (disaggregation["shares"].view(np.int64) == shares.view(np.int64)).all()


KILLER = '''\
"""Dovecar, as the stand-in, except that it kills its own process once, at one scenario."""
import importlib.util
import os
import signal

_spec = importlib.util.spec_from_file_location("_standin_dovecar", {standin!r})
_standin = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(_standin)
get_alpha_cy = _standin.get_alpha_cy


def get_mu_cy(selector, M, *rest):
    if M == {magnitude!r} and not os.path.exists({flag!r}):
        open({flag!r}, "w").close()
        os.kill(os.getpid(), signal.SIGKILL)
    return _standin.get_mu_cy(selector, M, *rest)
'''


@pytest.fixture
def fresh_workers(real_cluster):
    """The cluster with its workers restarted before the test (Morrand not loaded yet) and after it
    (a Morrand loaded with siblings of the test's own would refuse the later tests' runs)."""
    _, client = real_cluster

    def restart():
        client.restart(timeout=WAIT_S)
        client.wait_for_workers(2, timeout=WAIT_S)

    restart()
    yield real_cluster
    restart()


@pytest.mark.skipif(not hasattr(signal, "SIGKILL"), reason="needs SIGKILL")
def test_worker_killed_mid_run_loses_and_repeats_nothing(fresh_workers, tmp_path):
    address, client = fresh_workers
    scenarios = synthetic.scenarios("Morrand", 16, seed=8)
    pairs = pd.concat(synthetic.pairs("Morrand", scenarios.scenario_id.to_numpy(), 30, seed=8))
    synthetic.write(tmp_path / "scenarios.csv", [scenarios])
    synthetic.write(tmp_path / "pairs.csv", [pairs])
    siblings = tmp_path / "siblings"           # on neither the client's nor the workers' path
    siblings.mkdir()
    flag = tmp_path / "killed"
    (siblings / "Dovecar.py").write_text(KILLER.format(
        standin=str(ROOT / "siblings" / "Dovecar.py"), magnitude=float(scenarios.M[10]),
        flag=str(flag)))
    assert str(siblings) not in sys.path
    assert not any(client.run(lambda: str(siblings) in sys.path).values())

    out = tmp_path / "out.h5"
    catalogue.run("Morrand", tmp_path / "scenarios.csv", tmp_path / "pairs.csv",
                  scheduler=address, siblings=siblings, out=out, batch_pairs=30, timeout=WAIT_S)

    assert flag.exists(), "no worker was killed"
    result, attrs = read_output(out)
    assert attrs["siblings"] == str(siblings)
    assert_same(result, serial("Morrand", tmp_path / "scenarios.csv", tmp_path / "pairs.csv"))
    assert str(siblings) not in sys.path


@pytest.mark.subprocess
@pytest.mark.skipif(not hasattr(signal, "SIGKILL"), reason="needs SIGKILL")
def test_client_of_an_embedded_cluster_killed_then_resumed(tmp_path):
    from helpers import KILL_AT

    scenarios, pairs = example("Tarvik")
    out = tmp_path / "out.h5"
    arguments = ["Tarvik", "--scenarios", scenarios, "--pairs", pairs, "--batch-pairs", 8,
                 "--out", out, "--quiet"]
    # Killed once it has taken in two partitions; the workers it started go with its group.
    killed = subprocess.Popen(
        [sys.executable, "-c", KILL_AT, "gmms.catalogue.output", "FileDestination.accept", "3",
         *map(str, arguments), "--workers", "2"], cwd=ROOT, start_new_session=True,
        env=dict(os.environ, PYTHONPATH=str(ROOT)), stderr=subprocess.PIPE)
    try:
        assert killed.wait(timeout=WAIT_S) == -signal.SIGKILL, killed.stderr.read()
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(killed.pid, signal.SIGKILL)
        killed.stderr.close()
    state = tmp_path / ".out.h5.gmms-partial"
    assert not out.exists() and len(list(state.glob("part-*.h5"))) >= 2
    resumed = cli(*arguments, "--resume", "--workers", "2")
    assert resumed.returncode == 0, resumed.stderr
    expected = serial("Tarvik", scenarios, pairs, out=tmp_path / "expected.h5", batch_pairs=8)
    assert out.read_bytes() == expected.read_bytes()
    assert not state.exists()


# --- a TLS cluster with mutual authentication ------------------------------------------------

LEAF = """\
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth, clientAuth
subjectAltName = IP:127.0.0.1, DNS:localhost
authorityKeyIdentifier = keyid
subjectKeyIdentifier = hash
"""


def _openssl(directory, *args):
    subprocess.run(["openssl", *args], cwd=directory, check=True, capture_output=True,
                   timeout=60)


def make_pki(directory):
    """Throw-away CAs and certificates: the cluster's, and a stranger's with its own CA."""
    (directory / "leaf.ext").write_text(LEAF)
    key = ("-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes")
    for name in ("cluster", "stranger"):
        _openssl(directory, "req", "-x509", *key, "-keyout", f"{name}-ca.key", "-out",
                 f"{name}-ca.pem", "-days", "1", "-subj", f"/CN=gmms test {name} CA")
        _openssl(directory, "req", *key, "-keyout", f"{name}.key", "-out", f"{name}.csr",
                 "-subj", f"/CN=gmms test {name}")
        _openssl(directory, "x509", "-req", "-in", f"{name}.csr", "-CA", f"{name}-ca.pem",
                 "-CAkey", f"{name}-ca.key", "-CAcreateserial", "-out", f"{name}.pem", "-days",
                 "1", "-extfile", "leaf.ext")

    def files(ca, holder):
        return (directory / f"{ca}-ca.pem", directory / f"{holder}.pem",
                directory / f"{holder}.key")
    return files


def tls_options(ca, cert, key):
    return ("--tls-ca-file", ca, "--tls-cert", cert, "--tls-key", key)


@pytest.fixture(scope="module")
def tls_cluster(tmp_path_factory):
    directory = tmp_path_factory.mktemp("dask-tls")
    files = make_pki(directory)
    ca, cert, key = files("cluster", "cluster")
    security = distributed.security.Security(tls_ca_file=str(ca), tls_client_cert=str(cert),
                                             tls_client_key=str(key), require_encryption=True)
    with cluster(directory, tls_options(ca, cert, key), security) as running:
        assert running[0].startswith("tls://127.0.0.1:")
        yield (*running, files)


@pytest.mark.subprocess
@pytest.mark.parametrize("how", ["options", "dask config"])
def test_tls_scheduler_and_two_workers_match_serial(tls_cluster, tmp_path, monkeypatch, how):
    address, _, files = tls_cluster
    ca, cert, key = files("cluster", "cluster")
    if how == "options":
        given = tls_options(ca, cert, key)
    else:
        given = ()
        for name, path in (("CA_FILE", ca), ("CLIENT__CERT", cert), ("CLIENT__KEY", key)):
            monkeypatch.setenv(f"DASK_DISTRIBUTED__COMM__TLS__{name}", str(path))
    scenarios, pairs = example("Morrand")
    done = cli("Morrand", "--scenarios", scenarios, "--pairs", pairs, "--out",
               tmp_path / "out.h5", "--scheduler", address, "--batch-pairs", "10", "--quiet",
               *given)
    assert done.returncode == 0, done.stderr
    # No warning. Only a connection attempt that timed out inside Dask and Tornado on a slow
    # machine (seen under the sanitizers, in a run that then succeeded) may leave asyncio's
    # report of that unread timeout.
    assert re.sub(r"Future exception was never retrieved\nfuture: <Future finished "
                  r"exception=TimeoutError\('Timeout'\)>\n(.*\n)*?TimeoutError: Timeout\n", "",
                  done.stderr) == ""
    result, _ = read_output(tmp_path / "out.h5")
    assert_same(result, serial("Morrand", scenarios, pairs))


@pytest.mark.subprocess
@pytest.mark.parametrize("ca, holder, message", [
    ("cluster", "stranger", "the scheduler refused this certificate"),
    ("stranger", "stranger", "the scheduler's certificate is not signed by this CA file"),
    (None, None, "a tls:// scheduler needs a CA file and a certificate"),
])
def test_tls_client_without_the_clusters_certificate_is_refused(tls_cluster, tmp_path, ca,
                                                                 holder, message):
    address, _, files = tls_cluster
    given = tls_options(*files(ca, holder)) if ca else ()
    scenarios, pairs = example("Tarvik")
    started = time.monotonic()
    done = cli("Tarvik", "--scenarios", scenarios, "--pairs", pairs, "--out",
               tmp_path / "out.h5", "--scheduler", address, "--quiet", *given)
    assert time.monotonic() - started < 30       # refused, not timed out
    assert done.returncode == 1
    assert done.stderr.startswith("gmms catalogue: error: ")
    assert message in done.stderr and len(done.stderr.splitlines()) == 1, done.stderr
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("ca, holder", [("cluster", "stranger"), (None, None)])
def test_tls_worker_without_the_clusters_certificate_cannot_join(tls_cluster, ca, holder):
    address, client, files = tls_cluster
    given = tls_options(*files(ca, holder)) if ca else ()
    command = [*_command("dask-worker"), address, "--nthreads", "1", "--host", "127.0.0.1",
               "--no-dashboard", "--death-timeout", "15", *given]
    worker = subprocess.run([*map(str, command)], env=WORKER_ENV, capture_output=True,
                            timeout=WAIT_S)
    assert worker.returncode != 0
    assert sorted(info["name"] for info in client.scheduler_info()["workers"].values()) == \
        ["w1", "w2"]


@pytest.mark.parametrize("address, warned", [
    ("tcp://192.0.2.7:8786", True), ("192.0.2.7:8786", True), ("tcp://127.3.2.1:8786", False),
    ("tcp://localhost:8786", False), ("tcp://[::1]:8786", False),
])
def test_plain_tcp_to_another_host_warns(address, warned):
    from gmms.run.security import InsecureSchedulerWarning, security_from

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert security_from(address) is None
    assert [str(w.message).split(" is ")[0] for w in caught
            if w.category is InsecureSchedulerWarning] == ([address] if warned else [])
