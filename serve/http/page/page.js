// orvessa serve's page: the board's state from the event stream
// (GET /api/events) while the page is visible, and while the stream is down
// from GET /api/status, asked every 500 ms (one request at a time); the
// outlets switched through the JSON API. Every request carries X-Requested-With, so
// that a 401 challenges with Bearer and the browser shows no login dialog of
// its own: the page asks for the token itself.
"use strict";

const PollMs = 500;
const RequestTimeoutMs = 10000;
const TokenKey = "orvessa-token";
const OutletCount = 12;
// The stream is tried again after a failure, waiting longer each time.
const StreamRetryMs = { first: 1000, most: 10000 };
// The server sends a comment every 15 s: a stream silent for longer is gone.
const StreamSilentMs = 40000;

const rows = new Map(); // outlet number -> its elements and last state
let pollTimer = null;
let polling = false;
// Counts the states the user's own actions answered: a status asked for
// before the latest of them may be older than it, and is not shown.
let actionEpoch = 0;
let pollFailure = "";
let actionMessage = { text: "", error: false };
let stream = null; // the AbortController of the stream being read
let streamUp = false;
let streamRetry = null;
let streamWaitMs = StreamRetryMs.first;

// The address orvessa serve prints carries the token it made after '#', which
// no request sends: it is kept for this tab's session and taken out of the
// address bar, so that it is neither bookmarked nor shown.
function takeTokenFromAddress() {
  const given = new URLSearchParams(location.hash.slice(1)).get("token");
  if (!given) return;
  sessionStorage.setItem(TokenKey, given);
  history.replaceState(null, "", location.pathname + location.search);
}
takeTokenFromAddress();

function element(id) {
  return document.getElementById(id);
}

// Writes only a change, so that a live region speaks only when it has news.
function setText(target, text) {
  if (target.textContent !== text) target.textContent = text;
}

function requestHeaders() {
  const headers = { "X-Requested-With": "orvessa-page" };
  const token = sessionStorage.getItem(TokenKey);
  if (token) headers.Authorization = "Bearer " + token;
  return headers;
}

// One request: {ok, status, answer (the JSON, or null), error (a sentence)}.
// It never throws.
async function call(method, path, body) {
  const headers = requestHeaders();
  const token = headers.Authorization;
  if (body !== undefined) headers["Content-Type"] = "application/json";
  let response;
  let answer = null;
  try {
    response = await fetch(path, {
      method,
      headers,
      body: body === undefined ? undefined : JSON.stringify(body),
      cache: "no-store",
      signal: AbortSignal.timeout(RequestTimeoutMs),
    });
    answer = await response.json();
  } catch (failure) {
    if (!response)
      return { ok: false, status: 0, answer: null, error: "the server does not answer (" + failure.message + ")" };
  }
  if (response.status === 401)
    askForToken(token ? "The token was not accepted; give it again." : "This server needs its token.");
  if (response.ok && answer) return { ok: true, status: response.status, answer, error: "" };
  const error = answer && typeof answer.error === "string" ? answer.error : "the server answered " + response.status;
  return { ok: false, status: response.status, answer, error };
}

function describe(number) {
  const name = rows.get(number).name.textContent;
  return name ? "Outlet " + number + " (" + name + ")" : "Outlet " + number;
}

function showOutlets(outlets) {
  if (!Array.isArray(outlets)) return;
  for (const outlet of outlets) {
    const row = rows.get(outlet.number);
    if (!row) continue;
    setText(row.name, typeof outlet.name === "string" ? outlet.name : "");
    row.on = Boolean(outlet.on);
    const word = row.on ? "on" : "off";
    setText(row.word, word);
    row.lamp.className = "lamp " + word;
  }
}

// The board's state is no longer known: the words say so too.
function markStale() {
  for (const row of rows.values()) {
    if (row.on === null) continue;
    const word = row.on ? "on" : "off";
    setText(row.word, word + " (last known)");
    row.lamp.className = "lamp unknown " + word;
  }
}

function showAnswering(answer) {
  if (typeof answer.answering === "boolean")
    setText(element("answering"), answer.answering ? "The board answers." : "The board does not answer.");
  if ("last_answer" in answer)
    setText(element("last-answer"), answer.last_answer ? "Last answer: " + when(answer.last_answer) : "No answer yet.");
  if (typeof answer.port === "string") {
    const device = typeof answer.device === "string" && answer.device !== answer.port ? " (" + answer.device + ")" : "";
    setText(element("port"), "Port " + answer.port + device);
  }
}

function when(iso) {
  const date = new Date(iso);
  if (Number.isNaN(date.getTime())) return iso;
  return date.toDateString() === new Date().toDateString() ? date.toLocaleTimeString() : date.toLocaleString();
}

// The status request's failure while it lasts, else what the user's last
// action came to.
function showMessage() {
  const shown = pollFailure ? { text: pollFailure, error: true } : actionMessage;
  const message = element("message");
  setText(message, shown.text);
  message.classList.toggle("error", shown.error);
}

async function poll() {
  if (polling || document.visibilityState !== "visible" || !element("token-form").hidden) return;
  polling = true;
  const epoch = actionEpoch;
  const result = await call("GET", "/api/status");
  polling = false;
  if (result.ok) {
    pollFailure = "";
    if (epoch === actionEpoch) showOutlets(result.answer.outlets);
    showAnswering(result.answer);
  } else if (result.status !== 401) {
    pollFailure = "Error: " + result.error;
    markStale();
    if (result.answer) showAnswering(result.answer);
    else setText(element("answering"), "The server does not answer.");
  }
  showMessage();
}

function startPolling() {
  if (pollTimer !== null || streamUp) return;
  pollTimer = setInterval(poll, PollMs);
  poll();
}

function stopPolling() {
  clearInterval(pollTimer);
  pollTimer = null;
}

const Done = {
  on: "switched on",
  off: "switched off",
  cycle: "cycled: off, then on again",
  "all-on": "All outlets switched on",
  "all-off": "All outlets switched off",
};

async function act(action, number, label) {
  const what = number === undefined ? "" : describe(number) + ": ";
  actionMessage = { text: what + label + "…", error: false };
  showMessage();
  const result = await call("POST", "/api/" + action, number === undefined ? {} : { outlets: [number] });
  if (result.answer && Array.isArray(result.answer.outlets)) {
    actionEpoch += 1;
    showOutlets(result.answer.outlets);
  }
  actionMessage = result.ok
    ? { text: what + Done[action] + ".", error: false }
    : { text: "Error: " + result.error, error: true };
  showMessage();
}

// One event of the stream: its "event:" and "data:" lines.
function onEvent(block) {
  let name = "message";
  const data = [];
  for (const line of block.split("\n")) {
    if (line.startsWith(":")) continue; // a comment: the server keeps the connection alive
    const colon = line.indexOf(":");
    const field = colon < 0 ? line : line.slice(0, colon);
    const value = colon < 0 ? "" : line.slice(colon + 1).replace(/^ /, "");
    if (field === "event") name = value;
    else if (field === "data") data.push(value);
  }
  if (data.length === 0) return;
  const event = JSON.parse(data.join("\n"));
  if (name === "state") {
    pollFailure = "";
    showOutlets(event.outlets);
    showAnswering(event);
  } else if (name === "link") {
    showAnswering({ answering: event.answering });
    if (!event.answering) markStale();
  }
  // A change is shown by the state read after it.
  showMessage();
}

// Reads the event stream until it ends or fails; polls meanwhile, and tries
// again later. fetch rather than EventSource, which cannot send the token.
async function follow() {
  if (stream || document.visibilityState !== "visible" || !element("token-form").hidden) return;
  clearTimeout(streamRetry);
  streamRetry = null;
  const controller = new AbortController();
  stream = controller;
  let silence = setTimeout(() => controller.abort(), StreamSilentMs);
  try {
    // The token as sent: a status answered 401 meanwhile has already forgotten it.
    const headers = requestHeaders();
    const response = await fetch("/api/events", { headers, cache: "no-store", signal: controller.signal });
    if (response.status === 401)
      askForToken(headers.Authorization ? "The token was not accepted; give it again." : "This server needs its token.");
    if (!response.ok || !response.body) throw new Error("the server answered " + response.status);
    streamUp = true;
    streamWaitMs = StreamRetryMs.first;
    stopPolling();
    const reader = response.body.pipeThrough(new TextDecoderStream()).getReader();
    let buffer = "";
    for (;;) {
      const { value, done } = await reader.read();
      if (done) break;
      clearTimeout(silence);
      silence = setTimeout(() => controller.abort(), StreamSilentMs);
      buffer += value.replace(/\r\n?/g, "\n");
      for (let end = buffer.indexOf("\n\n"); end >= 0; end = buffer.indexOf("\n\n")) {
        onEvent(buffer.slice(0, end));
        buffer = buffer.slice(end + 2);
      }
    }
  } catch (failure) {
    // The stream is down: polling shows the state until it is up again.
  }
  clearTimeout(silence);
  const aborted = controller.signal.aborted && stream !== controller;
  stream = null;
  streamUp = false;
  if (aborted || document.visibilityState !== "visible") return;
  startPolling();
  streamRetry = setTimeout(follow, streamWaitMs);
  streamWaitMs = Math.min(streamWaitMs * 2, StreamRetryMs.most);
}

function stopFollowing() {
  clearTimeout(streamRetry);
  streamRetry = null;
  const controller = stream;
  stream = null;
  if (controller) controller.abort();
}

function askForToken(why) {
  sessionStorage.removeItem(TokenKey);
  setText(element("token-why"), why);
  const form = element("token-form");
  if (!form.hidden) return;
  form.hidden = false;
  element("token").focus();
}

function useToken(event) {
  event.preventDefault();
  const field = element("token");
  const token = field.value.trim();
  // A header carries printable ASCII only; the token file holds one line of it.
  if (!/^[\x21-\x7e]+$/.test(token)) {
    setText(element("token-why"), "A token is one word of printable ASCII characters.");
    return;
  }
  sessionStorage.setItem(TokenKey, token);
  field.value = "";
  element("token-form").hidden = true;
  poll();
  follow();
}

function buildOutlets() {
  const template = element("outlet-template").content.firstElementChild;
  const list = element("outlets");
  for (let number = 1; number <= OutletCount; ++number) {
    const item = template.cloneNode(true);
    item.id = "outlet-" + number;
    item.dataset.outlet = String(number);
    const heading = item.querySelector("h2");
    heading.id = "outlet-" + number + "-label";
    item.querySelector(".number").textContent = "Outlet " + number;
    const word = item.querySelector(".word");
    word.id = "state-" + number;
    // A button's name is its own text; what it acts on is its description.
    for (const button of item.querySelectorAll("button")) button.setAttribute("aria-describedby", heading.id);
    list.append(item);
    rows.set(number, { name: item.querySelector(".name"), word, lamp: item.querySelector(".lamp"), on: null });
  }
}

function onClick(event) {
  const button = event.target.closest("button[data-action]");
  if (!button) return;
  const item = button.closest("[data-outlet]");
  act(button.dataset.action, item ? Number(item.dataset.outlet) : undefined, button.textContent);
}

buildOutlets();
document.addEventListener("click", onClick);
element("token-form").addEventListener("submit", useToken);
document.addEventListener("visibilitychange", () => {
  if (document.visibilityState === "visible") {
    startPolling();
    follow();
  } else {
    stopPolling();
    stopFollowing();
  }
});
if (document.visibilityState === "visible") {
  startPolling();
  follow();
}
