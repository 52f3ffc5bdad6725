"""本地Quenlo demo library: a small stand-in for the personal library server.

It keeps a handful of items in memory, runs pretend sync jobs whose progress rises over
time, and offers the JSON API the menu-bar companion reads, on 127.0.0.1 only.

Start:  ./runtime-python server.py [PORT]
        PORT defaults to $LOCAL_LIBRARY_PORT, then 8765.
Output: one start line on stdout; request lines and errors on stderr. Whoever starts it
        appends both to server.log.
State:  the automatic-sync setting lives in autosync.json beside this file; everything
        else starts afresh with every run.

Environment knobs, for tests and demonstrations:
  DEMO_START_DELAY=SECONDS   sleep this long before listening (a slow start)
  DEMO_IGNORE_SIGTERM=1      ignore SIGTERM (a server that will not stop when asked)
  DEMO_PREFERENCES_STATUS=N  answer GET /api/preferences with status N (500: database unreadable)
  DEMO_MENU_STATUS_STATUS=N  answer GET /api/menu-status with status N (404: an older server)
  DEMO_SYNC_SECONDS=SECONDS  how long a full sync takes (default 20)
"""

APP_VERSION = "3"

import html
import json
import os
import signal
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

HERE = os.path.dirname(os.path.abspath(__file__))
AUTOSYNC_FILE = os.path.join(HERE, "autosync.json")
DEFAULT_PORT = 8765
AUTOSYNC_MAX_HOURS = 168

JOB_LABELS = {
    "all": "更新知识星球",
    "zsxq": "知识星球同步",
    "dedao": "得到缓存",
    "youtube": "YouTube 下载",
}

# Steps a job reports as its progress passes each threshold (percent).
JOB_STEPS = {
    "all": [(0, "正在连接知识星球"), (15, "正在拉取星球列表"), (40, "正在抓取新主题"),
            (75, "正在整理附件"), (90, "正在写入资料库")],
    "zsxq": [(0, "正在检查新主题"), (50, "正在抓取新主题"), (90, "正在写入资料库")],
    "dedao": [(0, "正在刷新得到缓存")],
    "youtube": [(0, "正在解析视频信息"), (20, "正在下载视频"), (85, "正在合并音视频")],
}


def log_error(text):
    print(text, file=sys.stderr, flush=True)


def env_number(name, default, kind=float):
    raw = os.environ.get(name, "")
    if raw == "":
        return default
    try:
        return kind(raw)
    except ValueError:
        log_error(f"忽略无效的环境变量 {name}={raw!r}")
        return default


class Library:
    """All state of the demo server, guarded by one lock; time moves it forward lazily."""

    def __init__(self, sync_seconds):
        self.lock = threading.Lock()
        self.sync_seconds = sync_seconds
        self.next_id = 1
        self.items = []
        self.running = {}  # kind -> {"started", "duration", "added"}
        self.queue = []    # kinds waiting for the running job of the same kind
        self.worker = {"enabled": False, "ready": True}
        now = time.time()
        for title, source, age in [
            ("Quenlo 使用入门", "manual", 86400 * 3),
            ("知识星球：本周精选主题", "zsxq", 86400),
            ("得到：每天听本书 · 《卓有成效的管理者》", "dedao", 7200),
            ("YouTube：How to take smart notes", "youtube", 600),
        ]:
            self._add_item(title, "https://example.org/item/%d" % self.next_id, source, now - age)
        self.items[0]["unread"] = False
        self.autosync_hours, self.autosync_next = self._load_autosync(now)

    # -- items ---------------------------------------------------------------------------
    def _add_item(self, title, url, source, added):
        item = {"id": self.next_id, "title": title, "url": url, "source": source,
                "added": added, "unread": True}
        self.next_id += 1
        self.items.append(item)
        return item

    # -- automatic sync ------------------------------------------------------------------
    def _load_autosync(self, now):
        try:
            with open(AUTOSYNC_FILE, encoding="utf-8") as f:
                saved = json.load(f)
        except FileNotFoundError:
            return 0, 0
        except (OSError, ValueError) as e:
            # Keep the unreadable file as it is; it is replaced only by the next setting.
            log_error(f"autosync.json 读取失败，自动同步暂按关闭处理：{e}")
            return 0, 0
        hours = saved.get("hours") if isinstance(saved, dict) else None
        if not valid_hours(hours):
            log_error("autosync.json 里的 hours 无效，自动同步暂按关闭处理")
            return 0, 0
        nxt = saved.get("next")
        if hours == 0:
            return 0, 0
        if not isinstance(nxt, (int, float)) or isinstance(nxt, bool) or nxt <= now:
            nxt = int(now + hours * 3600)
        return hours, nxt

    def set_autosync(self, hours, now):
        nxt = int(now + hours * 3600) if hours > 0 else 0
        tmp = AUTOSYNC_FILE + ".tmp"
        with open(tmp, "w", encoding="utf-8") as f:
            json.dump({"hours": hours, "next": nxt}, f)
        os.replace(tmp, AUTOSYNC_FILE)
        self.autosync_hours, self.autosync_next = hours, nxt

    # -- jobs ----------------------------------------------------------------------------
    def _duration(self, kind):
        return {"all": self.sync_seconds, "zsxq": self.sync_seconds / 2,
                "dedao": 6.0, "youtube": 8.0}[kind]

    def _start(self, kind, at):
        self.running[kind] = {"started": at, "duration": self._duration(kind)}

    def _finish(self, kind, at):
        del self.running[kind]
        if kind in ("all", "zsxq"):
            stamp = time.strftime("%m-%d %H:%M", time.localtime(at))
            for n in range(1, (3 if kind == "all" else 2) + 1):
                self._add_item(f"知识星球：新主题 {stamp} #{n}",
                               f"https://example.org/zsxq/{self.next_id}", "zsxq", at)
        waiting = [k for k in self.queue if k == kind]
        if waiting:
            self.queue.remove(kind)
            self._start(kind, at)

    def advance(self, now):
        """Finishes due jobs in time order, starts queued ones, fires the automatic sync."""
        while True:
            due = [(j["started"] + j["duration"], k) for k, j in self.running.items()
                   if j["started"] + j["duration"] <= now]
            if not due:
                break
            at, kind = min(due)
            self._finish(kind, at)
        if self.autosync_hours > 0 and 0 < self.autosync_next <= now:
            if "zsxq" not in self.running:
                self._start("zsxq", now)
            self.autosync_next = int(now + self.autosync_hours * 3600)

    def request_sync_all(self, now):
        if "all" not in self.running:
            self._start("all", now)
            return "started"
        if "all" not in self.queue:
            self.queue.append("all")
            return "queued"
        return "running"

    def add_link(self, url, now):
        parts = urllib.parse.urlsplit(url)
        title = parts.netloc + (parts.path if parts.path not in ("", "/") else "")
        source = "link"
        host = parts.netloc.lower()
        if host.endswith("youtube.com") or host.endswith("youtu.be"):
            source = "youtube"
            if "youtube" in self.running:
                self.queue.append("youtube")
            else:
                self._start("youtube", now)
        return self._add_item(title, url, source, now)

    def job_entry(self, kind, now):
        job = self.running[kind]
        progress = min(99, int((now - job["started"]) * 100 / job["duration"]))
        message = JOB_STEPS[kind][0][1]
        for threshold, text in JOB_STEPS[kind]:
            if progress >= threshold:
                message = text
        return {"kind": kind, "label": JOB_LABELS[kind], "progress": progress, "message": message}

    def queue_entries(self):
        return [{"kind": k, "label": JOB_LABELS[k]} for k in self.queue]

    def unread(self):
        return sum(1 for item in self.items if item["unread"])


def valid_hours(value):
    return (isinstance(value, int) and not isinstance(value, bool)
            and 0 <= value <= AUTOSYNC_MAX_HOURS)


def looks_like_link(text):
    if any(c.isspace() for c in text):
        return False
    parts = urllib.parse.urlsplit(text)
    return parts.scheme.lower() in ("http", "https") and parts.netloc != ""


class Handler(BaseHTTPRequestHandler):
    server_version = "QuenloDemo/" + APP_VERSION
    library = None  # set in main()

    # -- plumbing ------------------------------------------------------------------------
    def send_json(self, status, payload):
        body = json.dumps(payload, ensure_ascii=False).encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def send_html(self, status, text):
        body = text.encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def read_object(self):
        """The request's JSON object, or None after answering 400."""
        try:
            length = int(self.headers.get("Content-Length") or 0)
        except ValueError:
            length = -1
        if length < 0:
            self.send_json(400, {"error": "Content-Length 无效"})
            return None
        raw = self.rfile.read(length) if length else b""
        try:
            payload = json.loads(raw.decode("utf-8")) if raw else {}
        except (UnicodeDecodeError, ValueError):
            payload = None
        if not isinstance(payload, dict):
            self.send_json(400, {"error": "请求体必须是 JSON 对象"})
            return None
        return payload

    def route(self, method):
        path = urllib.parse.urlsplit(self.path).path
        handlers = ROUTES.get(path)
        if handlers is None:
            self.send_json(404, {"error": f"没有这个接口：{path}"})
            return
        handler = handlers.get(method)
        if handler is None:
            self.send_json(405, {"error": f"{path} 不支持 {method}"})
            return
        lib = self.library
        now = time.time()
        with lib.lock:
            lib.advance(now)
        handler(self, lib, now)

    def do_GET(self):
        self.route("GET")

    def do_POST(self):
        self.route("POST")

    def do_PUT(self):
        self.route("PUT")

    def do_DELETE(self):
        self.route("DELETE")

    def log_message(self, fmt, *args):
        sys.stderr.write("%s [%s] %s\n" % (self.address_string(), self.log_date_time_string(), fmt % args))
        sys.stderr.flush()

    # -- endpoints -----------------------------------------------------------------------
    def get_version(self, lib, now):
        self.send_json(200, {"version": APP_VERSION})

    def get_preferences(self, lib, now):
        status = env_number("DEMO_PREFERENCES_STATUS", 200, int)
        if status != 200:
            self.send_json(status, {"error": "资料库暂时读不出来"})
            return
        with lib.lock:
            self.send_json(200, {"library_name": "本地Quenlo 演示资料库",
                                 "autosync_hours": lib.autosync_hours,
                                 "transcription_enabled": lib.worker["enabled"],
                                 "item_count": len(lib.items)})

    def get_menu_status(self, lib, now):
        status = env_number("DEMO_MENU_STATUS_STATUS", 200, int)
        if status != 200:
            self.send_json(status, {"error": "菜单状态暂不可用"})
            return
        with lib.lock:
            self.send_json(200, {
                "unread": lib.unread(),
                "jobs": [lib.job_entry(k, now) for k in JOB_LABELS if k in lib.running],
                "queue": lib.queue_entries(),
                "autosync": {"hours": lib.autosync_hours, "next": lib.autosync_next},
            })

    def get_sync_status(self, lib, now):
        with lib.lock:
            reply = {}
            for kind in JOB_LABELS:
                if kind in lib.running:
                    entry = lib.job_entry(kind, now)
                    reply[kind] = {"running": True, "progress": entry["progress"],
                                   "message": entry["message"]}
                else:
                    reply[kind] = {"running": False, "progress": 0, "message": ""}
            reply["queue"] = lib.queue_entries()
            self.send_json(200, reply)

    def get_autosync(self, lib, now):
        with lib.lock:
            self.send_json(200, {"hours": lib.autosync_hours, "next": lib.autosync_next})

    def post_autosync(self, lib, now):
        payload = self.read_object()
        if payload is None:
            return
        hours = payload.get("hours")
        if not valid_hours(hours):
            self.send_json(400, {"error": f"hours 必须是 0 到 {AUTOSYNC_MAX_HOURS} 之间的整数"})
            return
        with lib.lock:
            try:
                lib.set_autosync(hours, now)
            except OSError as e:
                log_error(f"写入 autosync.json 失败：{e}")
                self.send_json(500, {"error": "自动同步设置写入失败"})
                return
            self.send_json(200, {"hours": lib.autosync_hours, "next": lib.autosync_next})

    def post_sync_all(self, lib, now):
        if self.read_object() is None:
            return
        with lib.lock:
            self.send_json(200, {"state": lib.request_sync_all(now)})

    def post_clipboard_add(self, lib, now):
        payload = self.read_object()
        if payload is None:
            return
        text = payload.get("text")
        if not isinstance(text, str) or not text.strip():
            self.send_json(400, {"error": "没有收到要添加的内容"})
            return
        text = text.strip()
        if not looks_like_link(text):
            self.send_json(400, {"error": "这不是一个 http(s) 链接，没有添加"})
            return
        with lib.lock:
            item = lib.add_link(text, now)
            self.send_json(202, {"accepted": True, "id": item["id"]})

    def get_transcription(self, lib, now):
        with lib.lock:
            w = lib.worker
            self.send_json(200, {"enabled": w["enabled"], "ready": w["ready"],
                                 "running": w["enabled"] and w["ready"]})

    def post_transcription(self, lib, now):
        payload = self.read_object()
        if payload is None:
            return
        enabled = payload.get("enabled")
        if not isinstance(enabled, bool):
            self.send_json(400, {"error": "enabled 必须是 true 或 false"})
            return
        with lib.lock:
            lib.worker["enabled"] = enabled
        self.send_json(200, {"message": "本机转写已开启" if enabled else "本机转写已关闭"})

    def get_index(self, lib, now):
        with lib.lock:
            rows = "\n".join(
                '<li%s><a href="%s">%s</a> <small>%s · %s</small></li>' % (
                    ' class="unread"' if item["unread"] else "",
                    html.escape(item["url"]), html.escape(item["title"]), html.escape(item["source"]),
                    time.strftime("%Y-%m-%d %H:%M", time.localtime(item["added"])))
                for item in reversed(lib.items))
            unread = lib.unread()
        self.send_html(200, f"""<!DOCTYPE html>
<html lang="zh-CN">
<head><meta charset="utf-8"><title>本地Quenlo</title>
<style>body{{font-family:sans-serif;max-width:40em;margin:2em auto}} .unread a{{font-weight:bold}}</style>
</head>
<body>
<h1>本地Quenlo</h1>
<p>共 {len(lib.items)} 条，未读 {unread} 条。</p>
<ul>
{rows}
</ul>
</body>
</html>
""")


ROUTES = {
    "/": {"GET": Handler.get_index},
    "/api/version": {"GET": Handler.get_version},
    "/api/preferences": {"GET": Handler.get_preferences},
    "/api/menu-status": {"GET": Handler.get_menu_status},
    "/api/sync-status": {"GET": Handler.get_sync_status},
    "/api/autosync": {"GET": Handler.get_autosync, "POST": Handler.post_autosync},
    "/api/sync-all": {"POST": Handler.post_sync_all},
    "/api/clipboard-add": {"POST": Handler.post_clipboard_add},
    "/api/transcription-worker": {"GET": Handler.get_transcription, "POST": Handler.post_transcription},
}


class Server(ThreadingHTTPServer):
    allow_reuse_address = True
    daemon_threads = True


def parse_port(argv):
    raw = argv[1] if len(argv) > 1 else os.environ.get("LOCAL_LIBRARY_PORT", "")
    if raw == "":
        return DEFAULT_PORT
    try:
        port = int(raw)
    except ValueError:
        port = -1
    if not 0 < port < 65536:
        log_error(f"端口无效：{raw!r}")
        sys.exit(2)
    return port


def main(argv):
    port = parse_port(argv)
    stop = threading.Event()

    def on_signal(signum, frame):
        stop.set()

    signal.signal(signal.SIGINT, on_signal)
    if os.environ.get("DEMO_IGNORE_SIGTERM") == "1":
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
    else:
        signal.signal(signal.SIGTERM, on_signal)

    delay = env_number("DEMO_START_DELAY", 0.0)
    if delay > 0 and stop.wait(delay):
        return 0

    Handler.library = Library(max(0.5, env_number("DEMO_SYNC_SECONDS", 20.0)))
    try:
        server = Server(("127.0.0.1", port), Handler)
    except OSError as e:
        log_error(f"无法监听 127.0.0.1:{port}：{e}")
        return 1
    print(f"本地Quenlo 演示库 {APP_VERSION} 已启动：http://127.0.0.1:{port}/ (pid {os.getpid()})", flush=True)
    serving = threading.Thread(target=server.serve_forever, name="http", daemon=True)
    serving.start()
    # The signal may land on a request thread; Python then runs the handler only when the main
    # thread next wakes up, so it wakes up often instead of sleeping in one long wait.
    while not stop.wait(0.2):
        pass
    server.shutdown()
    server.server_close()
    print(f"本地Quenlo 演示库 {APP_VERSION} 已停止", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
