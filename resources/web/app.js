"use strict";

// The status page: everything arrives over one event stream, a status about
// once a second and the last plays whenever they change.
const $ = (id) => document.getElementById(id);

function setText(id, text) {
  const element = $(id);
  if (element.textContent !== text) {
    element.textContent = text;
  }
}

function setState(id, good, text) {
  const element = $(id);
  element.className = "state " + (good ? "good" : "bad");
  setText(id, text);
}

function timeOf(iso) {
  return iso ? new Date(iso).toLocaleTimeString([], { hour: "2-digit", minute: "2-digit", second: "2-digit" }) : "";
}

function since(iso) {
  return iso ? new Date(iso).toLocaleString() : "";
}

function duration(seconds) {
  const d = Math.floor(seconds / 86400), h = Math.floor(seconds / 3600) % 24, m = Math.floor(seconds / 60) % 60;
  return (d ? d + " d " : "") + (d || h ? h + " h " : "") + m + " min";
}

function replaceItems(list, items) {
  list.replaceChildren(...items);
}

function item(...parts) {
  const li = document.createElement("li");
  li.append(...parts);
  return li;
}

function showPad(pad) {
  if (!pad.enabled) {
    $("pad").className = "state";
    setText("pad", "Off");
  } else {
    setState("pad", pad.working, pad.working ? "Connected since " + since(pad.since)
                                             : "Not working" + (pad.since ? " since " + since(pad.since) : "")
                                               + (pad.reason ? ": " + pad.reason : ""));
  }
  setText("pad-documents", pad.enabled ? String(pad.documents) : "–");
  setText("pad-last", pad.enabled && pad.lastDocument ? since(pad.lastDocument) : "–");
}

function showStatus(status) {
  if (document.title !== status.title + " – Quaverlink") {
    document.title = status.title + " – Quaverlink";
  }
  setText("title", status.title);
  setText("now", status.now);
  showPad(status.pad);
  showLive(status.live);
  setText("previous", status.previous || "–");
  setText("next", status.next || "–");
  setText("countdown", status.countdown === null ? "–" : status.countdown + " s");
  const healthy = $("healthy");
  if (status.problems.length > 0) {
    setState("healthy", false, "Needs attention");
  } else if (status.degraded.length > 0) {
    healthy.className = "state warn";
    setText("healthy", "Degraded");
  } else {
    setState("healthy", true, "All is well");
  }
  replaceItems($("problems"), status.problems.concat(status.degraded).map((problem) => item(problem)));
  const history = status.history;
  if (!history.enabled) {
    $("history").className = "state";
    setText("history", "Off");
  } else {
    setState("history", history.working,
             history.working ? "Working since " + since(history.since)
                             : "Stopped since " + since(history.since) + ": " + history.reason);
  }
  setText("waiting", history.enabled ? String(history.waiting) : "–");
  setText("set-aside", history.enabled ? String(history.setAside) : "–");
  replaceItems($("outputs"), status.outputs.length === 0 ? [item("None")] : status.outputs.map((output) => {
    const state = document.createElement("span");
    state.className = output.working ? "good" : "bad";
    state.textContent = output.state;
    return item(output.name + ": ", state, " (since " + since(output.since) + ")");
  }));
  setText("applied", String(status.applied));
  setText("refused", String(status.refused));
  setText("dropped", String(status.dropped));
  setText("uptime", duration((Date.now() - new Date(status.startedAt)) / 1000));
  setText("version", status.version);
}

function showLive(live) {
  const state = $("live-state");
  state.className = live ? "state warn" : "state";
  setText("live-state", live ? "On air: " + live.text + " (set by " + live.who + ", "
                               + (live.until ? "until " + timeOf(live.until) : "until cleared") + ")"
                             : "Off: the playout has the air");
}

// The token is asked for once per tab and kept only for that tab.
function token() {
  let value = sessionStorage.getItem("quaverlink-token");
  if (!value) {
    value = window.prompt("The station's token for the live input:") || "";
    if (value) {
      sessionStorage.setItem("quaverlink-token", value);
    }
  }
  return value;
}

async function sendLive(method, body) {
  setText("live-error", "");
  const secret = token();
  if (!secret) {
    return;
  }
  const answer = await fetch("/api/now", {
    method,
    headers: { "Authorization": "Bearer " + secret, "Content-Type": "application/json" },
    body: body ? JSON.stringify(body) : undefined,
  });
  if (answer.status === 401) {
    sessionStorage.removeItem("quaverlink-token");
  }
  if (!answer.ok) {
    const reply = await answer.json().catch(() => ({}));
    setText("live-error", reply.error || answer.status + " " + answer.statusText);
  }
}

$("live-form").addEventListener("submit", (event) => {
  event.preventDefault();
  const body = {};
  for (const field of ["text", "artist", "title"]) {
    const value = $("live-" + field).value.trim();
    if (value) {
      body[field] = value;
    }
  }
  body.expires = Number($("live-minutes").value || 0) * 60;
  sendLive("POST", body);
});
$("live-clear").addEventListener("click", () => sendLive("DELETE"));

function showPlays(plays) {
  replaceItems($("plays"), plays.map((play) => {
    const time = document.createElement("time");
    time.dateTime = play.onAir;
    time.textContent = timeOf(play.onAir);
    const text = document.createElement("span");
    text.textContent = play.text + (play.pad && play.pad.album ? " (" + play.pad.album + ")" : "")
                       + (play.live ? " (live)" : "");
    return item(time, text);
  }));
}

// A page that has lost the receiver can vouch for nothing it shows: it is
// greyed out, and its health is unknown, until the receiver answers again.
function lose() {
  setState("connection", false, "Connection lost; trying again…");
  document.body.classList.add("stale");
  $("healthy").className = "state";
  setText("healthy", "Unknown: the receiver cannot be reached");
  setText("countdown", "–");
}

const events = new EventSource("/events");
events.addEventListener("status", (event) => {
  setState("connection", true, "Live");
  document.body.classList.remove("stale");
  showStatus(JSON.parse(event.data));
});
events.addEventListener("plays", (event) => showPlays(JSON.parse(event.data)));
events.onerror = lose;
