# The kernel's side of the conversation with its host. Requests and answers are JSON records,
# each framed by a 4-byte big-endian length, on one socket (argv[1]); every answer carries the id
# of its request. In "fork" mode (argv[2]) this process is a warm parent that never runs the
# host's code: each run is a child forked from it, which loses the socket before the code starts
# and hands its result back through a pipe of its own; the answer is then built here from that
# result and the child's exit status, and everything else the run started is killed. In "keep"
# mode the code runs here, in namespaces that persist from run to run.
import _thread, ast, gc, io, json, os, select, signal, struct, sys, time, traceback

SOCKET_FD = int(sys.argv[1])
FORK_MODE = len(sys.argv) > 2 and sys.argv[2] == "fork"
os.set_inheritable(SOCKET_FD, False)
DRIVER_PID = os.getpid()
# As the init of a PID namespace, this process cannot be signalled from inside it, and every
# orphan of a run comes back to it; elsewhere it asks to be the orphans' reaper.
IS_INIT = DRIVER_PID == 1
import resource
NOFILE_LIMIT = resource.getrlimit(resource.RLIMIT_NOFILE)[0]
namespaces = {}
templates = {}
jinja_environment = None
CUT_MARKER = "\n[output cut: the run printed more than %d bytes]\n"


def _close_socket_in_fork():
    # A process forked here must never speak on the host's socket.
    try:
        os.close(SOCKET_FD)
    except OSError:
        pass


os.register_at_fork(after_in_child=_close_socket_in_fork)


def become_subreaper():
    try:
        import ctypes
        ctypes.CDLL(None, use_errno=True).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
    except Exception:
        pass


def read_exact(size):
    data = bytearray()
    while len(data) < size:
        chunk = os.read(SOCKET_FD, size - len(data))
        if not chunk:
            os._exit(0)
        data += chunk
    return bytes(data)


def write_all(fd, data):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def encode(record):
    return json.dumps(record, ensure_ascii=False, default=str).encode("utf-8", "replace")


def send(record, _encode=encode, _write_all=write_all, _pack=struct.pack):
    # Bound at definition: code that replaces this module's names cannot reach the answers.
    body = _encode(record)
    _write_all(SOCKET_FD, _pack(">I", len(body)) + body)


def clean(text):
    # Lone surrogates cannot travel as UTF-8; keep them visible as escapes.
    return text.encode("utf-8", "backslashreplace").decode("utf-8")


def bounded(text, limit, cut=False):
    data = text.encode("utf-8", "backslashreplace")
    if len(data) <= limit and not cut:
        return data.decode("utf-8")
    return data[:limit].decode("utf-8", "ignore") + CUT_MARKER % limit


class Capture(io.StringIO):
    # Standard output of a run: keeps the first `limit` characters and drops the rest, so
    # printing gigabytes costs the run its own memory only once. Threads left running by
    # earlier runs are not heard.
    def __init__(self, limit):
        super().__init__()
        self._left = limit
        self.cut = False
        self._foreign = set(sys._current_frames()) - {_thread.get_ident()}

    def write(self, text):
        if self._foreign and _thread.get_ident() in self._foreign:
            return len(text) if isinstance(text, str) else 0
        if not isinstance(text, str) or len(text) <= self._left:
            written = super().write(text)
            self._left -= written
            return written
        if self._left > 0:
            super().write(text[:self._left])
        self._left = 0
        self.cut = True
        return len(text)


def text_of(error):
    try:
        return clean(str(error))
    except BaseException:
        return "<unprintable %s>" % type(error).__name__


def error_record(error):
    # The traceback starts at the code's own frames; the driver's are of no use to anyone.
    tb = error.__traceback__
    while tb is not None and tb.tb_frame.f_code.co_filename not in ("<ast>", "<setup>"):
        tb = tb.tb_next
    try:
        formatted = "".join(traceback.format_exception(type(error), error, tb))
    except BaseException:
        formatted = ""
    return {"status": "error", "kind": type(error).__name__, "message": text_of(error),
            "traceback": clean(formatted)}


def exit_record(request):
    code = request.code
    return {"status": "exit", "code": code if isinstance(code, (int, type(None))) else text_of(code)}


def reap():
    try:
        while os.waitpid(-1, os.WNOHANG)[0] > 0:
            pass
    except ChildProcessError:
        pass


def descendants():
    parents = {}
    try:
        entries = os.listdir("/proc")
    except OSError:
        return []  # no descriptor left to look with; the host restarts an exhausted kernel
    for entry in entries:
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry, "rb") as stat:
                    parents[int(entry)] = int(stat.read().rsplit(b")", 1)[1].split()[1])
            except (OSError, ValueError, IndexError):
                pass
    found, frontier = [], [DRIVER_PID]
    while frontier:
        parent = frontier.pop()
        for pid, ppid in parents.items():
            if ppid == parent and pid not in found:
                found.append(pid)
                frontier.append(pid)
    return found


def kill_the_rest():
    # Whatever a run started, however it detached, ends with the run.
    for _ in range(2000):
        if IS_INIT:
            try:
                os.kill(-1, signal.SIGKILL)
            except ProcessLookupError:
                break
        else:
            strays = descendants()
            if not strays:
                break
            for pid in strays:
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass
        reap()
        time.sleep(0.0005)
    reap()


def execute(request, namespace, fresh, _bounded=None, _Capture=None, _error_record=None, _exit_record=None, _clean=None):
    limit = request.get("output_limit") or (1 << 20)
    saved_stdout = sys.stdout
    capture = None
    try:
        if request.get("directory"):
            os.chdir(request["directory"])
        if fresh and request.get("setup"):
            exec(compile(request["setup"], "<setup>", "exec"), namespace)
        namespace.update(request.get("names") or {})
        tree = ast.parse(request["code"], filename="<ast>", mode="exec")
        program = compile(tree, filename="<ast>", mode="exec")
        capture = sys.stdout = _Capture(limit)
        try:
            exec(program, namespace)
            output = sys.stdout.getvalue()
        finally:
            sys.stdout = saved_stdout
        if not isinstance(output, str):
            raise TypeError("standard output gave back a %s, not a text" % type(output).__name__)
        result = {"status": "ok", "output": _bounded(_clean(output), limit, capture.cut)}
    except SystemExit as request_to_end:
        result = _exit_record(request_to_end)
    except BaseException as error:
        result = _error_record(error)
    result["exports"] = {key: namespace.get(key) for key in request.get("exports") or []}
    return result


def exhausted():
    # Descriptors or threads a run left behind that leave later runs too little to work with.
    try:
        if len(os.listdir("/proc/self/fd")) > max(64, NOFILE_LIMIT - 256):
            return True
    except OSError:
        return True  # not even a descriptor left to look
    return len(sys._current_frames()) > 128


def run_here(request, _execute=None, _kill_the_rest=None, _exhausted=None):
    name = request.get("namespace")
    if name is None:
        namespace, fresh = {}, True
    else:
        namespace = namespaces.get(name)
        fresh = namespace is None
        if fresh:
            namespace = namespaces[name] = {}
    result = _execute(request, namespace, fresh)
    if os.getpid() != DRIVER_PID:
        os._exit(0)
    _kill_the_rest()
    if _exhausted():
        result["exhausted"] = True
    return result


def read_request(fd):
    data = bytearray()
    while True:
        chunk = os.read(fd, 1 << 16)
        if not chunk:
            return json.loads(bytes(data))
        data += chunk


def run_child(request_r, result_w, out_w):
    # From here on this process belongs to the code; it cannot reach the host's socket. It
    # waits, forked ahead of time, for its request; its answer ends when its pipe closes.
    runner = os.getpid()
    try:
        os.dup2(out_w, 1)
        os.dup2(out_w, 2)
        os.close(out_w)
        signal.signal(signal.SIGINT, signal.default_int_handler)
        # A forked process copies every page it writes (reference counts included); a rehearsal
        # while waiting takes most of those copies off the run's path.
        encode(execute({"code": "print(datetime.date.today())", "setup": "import datetime"}, {}, True))
        json.loads(json.dumps({"code": "", "names": {}}))
        request = read_request(request_r)
        os.close(request_r)
        result = execute(request, {}, True)
        if os.getpid() != runner:
            os._exit(0)  # a process the code forked never answers
        for stream in (sys.stderr, sys.__stdout__):
            try:
                stream.flush()
            except BaseException:
                pass
        write_all(result_w, encode(result))
        os.close(result_w)
    except BaseException:
        pass
    os._exit(0)


def read_some(fd, into, keep):
    # One read into a bounded buffer; False once the pipe has ended (or has nothing more).
    try:
        chunk = os.read(fd, 1 << 16)
    except OSError:
        return False
    if not chunk:
        return False
    if len(into) < keep:
        into += chunk[:keep - len(into)]
    return True


def valid_text(record, key):
    return isinstance(record.get(key, ""), str)


def answer_from(data, status, limit):
    # The run's own answer, taken apart and built again; anything else that reached the pipe
    # (a frame of the code's, a grandchild's bytes) makes it unreadable and fails the run.
    try:
        record = json.loads(bytes(data).decode("utf-8"))
    except ValueError:
        return {"status": "forged"}
    if not isinstance(record, dict) or not all(valid_text(record, key) for key in ("output", "kind", "message", "traceback")):
        return {"status": "forged"}
    exports = record.get("exports")
    exports = exports if isinstance(exports, dict) else {}
    kind = record.get("status")
    if kind == "ok":
        answer = {"status": "ok", "output": bounded(record.get("output", ""), limit)}
    elif kind == "error":
        answer = {"status": "error", "kind": record.get("kind", "Exception")[:200],
                  "message": bounded(record.get("message", ""), limit),
                  "traceback": bounded(record.get("traceback", ""), 1 << 16)}
    elif kind == "exit":
        code = record.get("code")
        answer = {"status": "exit", "code": code if isinstance(code, (int, str, type(None))) else str(code)}
    else:
        return {"status": "forged"}
    if status is not None and not (os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0):
        return None
    answer["exports"] = exports
    return answer


def close_all(fds):
    for fd in fds:
        try:
            os.close(fd)
        except OSError:
            pass


class Runner:
    # A child forked ahead of its request, so that forking is off the run's path.
    def __init__(self):
        opened = []
        try:
            for _ in range(3):
                opened.extend(os.pipe())
            self.pid = os.fork()
        except OSError:
            # At the process limit the fork fails: nothing of this runner stays open, or every
            # later runner would inherit it.
            close_all(opened)
            raise
        request_r, self.request_w, self.result_r, result_w, self.out_r, out_w = opened
        if self.pid == 0:
            close_all((self.request_w, self.result_r, self.out_r))
            run_child(request_r, result_w, out_w)
        close_all((request_r, result_w, out_w))
        self.status = None
        try:
            self.pidfd = os.pidfd_open(self.pid)
        except OSError:
            os.kill(self.pid, signal.SIGKILL)
            self.wait()
            close_all((self.request_w, self.result_r, self.out_r))
            raise

    def wait(self):
        if self.status is None:
            try:
                self.status = os.waitpid(self.pid, 0)[1]
            except ChildProcessError:
                self.status = 1 << 8  # reaped already, its status lost: taken as a failure
        return self.status

    def close(self):
        close_all((self.request_w, self.result_r, self.out_r, self.pidfd))


spare = None
finished = None  # the runner of the last answer, cleared up once the answer is out


def others(keep):
    # Processes of the sandbox but this one and keep (the waiting runner).
    if IS_INIT:
        try:
            return [int(name) for name in os.listdir("/proc") if name.isdigit() and int(name) not in (1, keep)]
        except OSError:
            return []
    return [pid for pid in descendants() if pid != keep]


def clear_up():
    # After the answer: whatever the run left is killed, its runner included, and the next
    # runner is forked while the host reads the answer; they die while it forks.
    global spare, finished
    if finished is not None:
        if IS_INIT:
            try:
                os.kill(-1, signal.SIGKILL)
            except ProcessLookupError:
                pass
        else:
            kill_the_rest()
        finished.close()
        finished = None
    if FORK_MODE and spare is None:
        try:
            spare = Runner()
        except OSError:
            spare = None  # the process limit, while the last run's processes die: forked later


def ensure_alone(keep):
    # Nothing of an earlier run may still run when the next one starts.
    for _ in range(4000):
        strays = others(keep)
        if not strays:
            return
        for pid in strays:
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        try:
            while True:
                pid, _ = os.waitpid(-1, os.WNOHANG)
                if pid == 0:
                    break
        except ChildProcessError:
            pass
        time.sleep(0.0002)


def run_forked(request):
    global spare, finished
    clear_up()
    if spare is None:
        ensure_alone(None)
        try:
            spare = Runner()
        except OSError as error:
            return {"status": "error", "kind": type(error).__name__, "traceback": "",
                    "message": "no process could be started for the run (%s)" % text_of(error)}
    else:
        ensure_alone(spare.pid)
    runner, spare = spare, None
    limit = request.get("output_limit") or (1 << 20)
    error_limit = request.get("error_limit") or (1 << 16)
    time_limit = request.get("time_limit") or 60.0
    result, errors = bytearray(), bytearray()
    # The answer may be a little larger than the output (escapes, traceback); more is not an answer.
    result_keep = 8 * limit + (1 << 20)
    deadline = time.monotonic() + time_limit
    try:
        write_all(runner.request_w, json.dumps(request).encode("utf-8", "replace"))
    except OSError:
        pass  # the runner is gone; its status says how
    os.close(runner.request_w)
    runner.request_w = -1
    poller = select.poll()
    for fd in (runner.result_r, runner.out_r, runner.pidfd):
        poller.register(fd, select.POLLIN)
    timed_out, ended, answered = False, False, False
    while not ended and not answered:
        left = deadline - time.monotonic()
        if left <= 0:
            timed_out = True
            break
        for fd, _ in poller.poll(max(1, int(left * 1000))):
            if fd == runner.pidfd:
                ended = True
            elif not read_some(fd, result if fd == runner.result_r else errors,
                               result_keep + 1 if fd == runner.result_r else error_limit):
                poller.unregister(fd)
                answered = answered or fd == runner.result_r
    if timed_out or ended or not result:
        # No whole answer from a live runner: it ends, and so does everything else, before the
        # pipes are read to their ends.
        os.kill(runner.pid, signal.SIGKILL)
        status = runner.wait()
        kill_the_rest()
        for fd, into, keep in ((runner.result_r, result, result_keep + 1), (runner.out_r, errors, error_limit)):
            os.set_blocking(fd, False)
            while read_some(fd, into, keep):
                pass
    else:
        status = None
    finished = runner
    if timed_out:
        answer = {"status": "timeout"}
    elif len(result) > result_keep:
        answer = {"status": "forged"}
    else:
        answer = answer_from(result, status, limit) if result else None
        if answer is None:
            status = runner.wait()
            answer = {"status": "crash", "exited": os.WIFEXITED(status),
                      "code": os.WEXITSTATUS(status) if os.WIFEXITED(status) else 0,
                      "signal": os.WTERMSIG(status) if os.WIFSIGNALED(status) else 0}
    if errors:
        answer["stderr"] = clean(bytes(errors).decode("utf-8", "replace"))
    return answer


# The driver's own functions, bound once: code that replaces this module's names changes
# nothing for the runs that follow.
run_here.__defaults__ = (execute, kill_the_rest, exhausted)
execute.__defaults__ = (bounded, Capture, error_record, exit_record, clean)


def run(request, _run_here=run_here, _run_forked=run_forked):
    if FORK_MODE:
        if request.get("namespace") is not None:
            raise ValueError("a forking kernel keeps no named namespaces")
        return _run_forked(request)
    return _run_here(request)


def render(request):
    global jinja_environment
    if jinja_environment is None:
        import jinja2
        jinja_environment = jinja2.Environment()
    source = request["template"]
    template = templates.get(source)
    if template is None:
        if len(templates) >= 256:
            templates.clear()
        template = templates[source] = jinja_environment.from_string(source)
    return {"status": "ok", "output": clean(template.render(**(request.get("variables") or {})))}


def drop(request):
    namespaces.pop(request["namespace"], None)
    return {"status": "ok", "output": ""}


HANDLERS = {"run": run, "render": render, "drop": drop}


def serve(_send=send, _read_exact=read_exact, _handlers=dict(HANDLERS), _flush_streams=(sys.stderr, sys.__stdout__),
          _clear_up=clear_up):
    if not IS_INIT:
        become_subreaper()
    # No handler: as a namespace's init, a signal without one cannot reach it from a run.
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    startup = os.environ.pop("VELTAAI_KERNEL_STARTUP", "")
    try:
        if startup:
            exec(compile(startup, "<startup>", "exec"), {})
        if FORK_MODE:
            # What the start-up loaded is shared by every run; keep the collector off it so
            # forked runs do not copy its pages.
            gc.collect()
            gc.freeze()
        _send({"status": "ready", "pid": DRIVER_PID, "id": 0})
        try:
            _clear_up()  # the first runner, forked while the host goes on
        except Exception:
            pass
    except BaseException as error:
        record = error_record(error)
        record["id"] = 0
        send(record)
        os._exit(1)
    while True:
        (size,) = struct.unpack(">I", _read_exact(4))
        request = json.loads(_read_exact(size))
        if not FORK_MODE:
            reap()
        try:
            result = _handlers[request["op"]](request)
        except SystemExit as request_to_end:
            result = exit_record(request_to_end)
        except BaseException as error:
            result = error_record(error)
        if os.getpid() != DRIVER_PID:
            os._exit(0)
        for stream in _flush_streams:
            try:
                stream.flush()
            except BaseException:
                pass
        if not isinstance(result, dict):
            result = {"status": "error", "kind": "TypeError", "message": "the run gave no record", "traceback": ""}
        result["id"] = request.get("id")
        try:
            _send(result)
        except (TypeError, ValueError, OverflowError) as error:
            record = error_record(error)
            record["id"] = request.get("id")
            _send(record)
        try:
            _clear_up()
        except Exception:
            pass  # the next run clears up again, and reports what stops it


serve()
