#!/usr/bin/env python3
"""A fake model API on loopback for the real agents: the Anthropic Messages API and the OpenAI
Responses API, streamed or not, with fixed usage numbers.

The task is the conversation whose first message (or input) names the file given with --read: when it offers
a tool named TOOL it gets one call of it (reading that file) before the final answer, and each of
its answers reports the fixed usage below. Every other request (titles, warm-ups, side queries
the agents make on their own) gets the final answer at once and zero usage, so that the totals
a log reader finds are those of the task alone. Each request is appended to the JSON-lines log
given with --log.
"""

import argparse
import http.server
import itertools
import json
import os
import sys
import threading

# The usage every answer reports. The harness checks the bridge's totals against these.
CLAUDE_MODEL = "claude-sonnet-4-5-20250929"
CLAUDE_USAGE = {"input_tokens": 1000, "output_tokens": 200,
                "cache_creation_input_tokens": 300, "cache_read_input_tokens": 4000}
CODEX_MODEL = "gpt-5"
CODEX_USAGE = {"input_tokens": 1200, "cached_tokens": 200, "output_tokens": 300}
ANSWER = "Done."

_ids = itertools.count(1)
_log_lock = threading.Lock()


def _sse(events):
    return b"".join(f"event: {e['type']}\ndata: {json.dumps(e)}\n\n".encode() for e in events)


def _zero(usage):
    return {key: 0 for key in usage}


def _tool_result_pending(messages):
    """True when the last message answers a tool call (the conversation goes on to the answer)."""
    if not messages:
        return False
    content = messages[-1].get("content")
    return isinstance(content, list) and any(
        isinstance(b, dict) and b.get("type") in ("tool_result", "function_call_output") for b in content)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "fake-model-api"

    def log_message(self, *args):
        pass

    def _reply(self, status, body, content_type="application/json"):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def _record(self, path, request):
        if not self.server.log:
            return
        entry = {"path": path, "task": self._is_task(request), "stream": bool(request.get("stream")),
                 "model": request.get("model"),
                 "tools": [t.get("name") for t in request.get("tools") or [] if isinstance(t, dict)]}
        with _log_lock, open(self.server.log, "a") as log:
            log.write(json.dumps(entry) + "\n")

    def _is_task(self, request):
        # Claude Code's first message is the user's; Codex's input opens with instructions of its own.
        asked = (request.get("messages") or [None])[0] or request.get("input")
        return os.path.basename(self.server.read) in json.dumps(asked)

    def do_GET(self):
        self._reply(200, b"{}")

    do_HEAD = do_GET

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        try:
            request = json.loads(self.rfile.read(length) or b"{}")
        except ValueError:
            request = {}
        path = self.path.split("?")[0]
        self._record(path, request)
        if path.endswith("/messages/count_tokens"):
            self._reply(200, json.dumps({"input_tokens": CLAUDE_USAGE["input_tokens"]}).encode())
        elif path.endswith("/messages"):
            self._messages(request)
        elif path.endswith("/responses"):
            self._responses(request)
        else:
            self._reply(404, b'{"error":{"type":"not_found_error","message":"not here"}}')

    # Anthropic Messages API.
    def _messages(self, request):
        tools = [t.get("name") for t in request.get("tools") or [] if isinstance(t, dict)]
        task = self._is_task(request)
        call = task and self.server.tool in tools and not _tool_result_pending(request.get("messages"))
        message_id = f"msg_fake{next(_ids):06d}"
        if call:
            block = {"type": "tool_use", "id": f"toolu_fake{next(_ids):06d}", "name": self.server.tool,
                     "input": {"file_path": self.server.read}}
            stop = "tool_use"
        else:
            block = {"type": "text", "text": ANSWER}
            stop = "end_turn"
        usage = dict(CLAUDE_USAGE if task else _zero(CLAUDE_USAGE))
        usage["cache_creation"] = {"ephemeral_5m_input_tokens": usage["cache_creation_input_tokens"],
                                   "ephemeral_1h_input_tokens": 0}
        if not request.get("stream"):
            self._reply(200, json.dumps({
                "id": message_id, "type": "message", "role": "assistant", "model": CLAUDE_MODEL,
                "content": [block], "stop_reason": stop, "stop_sequence": None, "usage": usage}).encode())
            return
        start_usage = dict(usage, output_tokens=1)
        if block["type"] == "text":
            opening = {"type": "text", "text": ""}
            delta = {"type": "text_delta", "text": ANSWER}
        else:
            opening = dict(block, input={})
            delta = {"type": "input_json_delta", "partial_json": json.dumps(block["input"])}
        events = [
            {"type": "message_start", "message": {
                "id": message_id, "type": "message", "role": "assistant", "model": CLAUDE_MODEL,
                "content": [], "stop_reason": None, "stop_sequence": None, "usage": start_usage}},
            {"type": "content_block_start", "index": 0, "content_block": opening},
            {"type": "content_block_delta", "index": 0, "delta": delta},
            {"type": "content_block_stop", "index": 0},
            {"type": "message_delta", "delta": {"stop_reason": stop, "stop_sequence": None},
             "usage": {"output_tokens": usage["output_tokens"]}},
            {"type": "message_stop"},
        ]
        self._reply(200, _sse(events), "text/event-stream")

    # OpenAI Responses API.
    def _responses(self, request):
        response_id = f"resp_fake{next(_ids):06d}"
        item = {"type": "message", "id": f"msg_fake{next(_ids):06d}", "role": "assistant", "status": "completed",
                "content": [{"type": "output_text", "text": ANSWER, "annotations": []}]}
        counts = CODEX_USAGE if self._is_task(request) else _zero(CODEX_USAGE)
        usage = {"input_tokens": counts["input_tokens"],
                 "input_tokens_details": {"cached_tokens": counts["cached_tokens"]},
                 "output_tokens": counts["output_tokens"],
                 "output_tokens_details": {"reasoning_tokens": 0},
                 "total_tokens": counts["input_tokens"] + counts["output_tokens"]}
        response = {"id": response_id, "object": "response", "model": CODEX_MODEL, "status": "completed",
                    "output": [item], "usage": usage}
        if not request.get("stream"):
            self._reply(200, json.dumps(response).encode())
            return
        events = [
            {"type": "response.created", "response": dict(response, status="in_progress", output=[], usage=None)},
            {"type": "response.output_item.added", "output_index": 0, "item": dict(item, content=[])},
            {"type": "response.output_text.delta", "output_index": 0, "content_index": 0,
             "item_id": item["id"], "delta": ANSWER},
            {"type": "response.output_item.done", "output_index": 0, "item": item},
            {"type": "response.completed", "response": response},
        ]
        self._reply(200, _sse(events), "text/event-stream")


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass  # an agent that hangs up early is no error of the API's


def serve(port, tool="Read", read="/dev/null", log=None):
    """Starts the API on 127.0.0.1:`port` (0: any free port) in a thread of its own."""
    server = Server(("127.0.0.1", port), Handler)
    server.tool, server.read, server.log = tool, read, log
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--tool", default="Read", help="the tool each conversation calls once")
    parser.add_argument("--read", default="/dev/null", help="the file that tool reads")
    parser.add_argument("--log", help="append one JSON line per request here")
    args = parser.parse_args()
    server = serve(args.port, args.tool, args.read, args.log)
    print(server.server_address[1], flush=True)  # the port, for whoever started us
    threading.Event().wait()


if __name__ == "__main__":
    sys.exit(main())
