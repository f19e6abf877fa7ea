#include "gateway/http/status_page.h"

namespace qor::gateway {

namespace {

// Everything the page shows is put in with textContent, never as HTML, so
// that a name or a module's error text cannot become markup.
const char kPage[] = R"html(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>qor-gateway</title>
<style>
body{font-family:system-ui,sans-serif;margin:0;padding:.8em;background:#f4f5f7;color:#222}
h1{font-size:1.3em;margin:.2em 0}h2{font-size:1.1em;margin:1em 0 .4em}
section{background:#fff;border-radius:6px;padding:.6em .8em;margin-bottom:.8em;box-shadow:0 1px 2px #0002}
table{border-collapse:collapse;width:100%;font-size:.92em}
th,td{text-align:left;padding:.25em .4em;border-bottom:1px solid #eee;vertical-align:top}
.num{text-align:right;font-variant-numeric:tabular-nums}
.badge{display:inline-block;padding:0 .5em;border-radius:1em;font-size:.85em;color:#fff;background:#888}
.online,.up,.yes{background:#2a7d2a}.offline,.down,.no{background:#b3261e}.unknown{background:#888}
.stale{color:#aaa}.err{color:#b3261e}.wrap{overflow-x:auto}
#note{font-size:.85em;color:#666}
</style>
</head>
<body>
<h1>qor-gateway <span id="id"></span></h1>
<div id="note">loading&hellip;</div>
<section><h2>Gateway</h2><table id="gateway"></table></section>
<section><h2>Links</h2><div class="wrap"><table id="links"></table></div></section>
<div id="modules"></div>
<section id="commands" hidden><h2>Command</h2>
<form id="command-form">
<input id="c-link" placeholder="link" size="8"> <input id="c-module" placeholder="module" size="8">
<input id="c-command" placeholder="command (hi)" size="8">
<input id="c-payload" placeholder='payload {"value": 1}' size="18">
<button type="submit">Send</button> <span id="c-result"></span>
</form></section>
<section><h2>Last events</h2><div class="wrap"><table id="events"></table></div></section>
<script>
"use strict";
function el(tag, text, cls) {
  const e = document.createElement(tag);
  if (text !== undefined && text !== null) e.textContent = String(text);
  if (cls) e.className = cls;
  return e;
}
function row(table, cells, head) {
  const tr = el("tr");
  for (const c of cells) {
    const td = el(head ? "th" : "td");
    if (c instanceof Node) td.appendChild(c); else td.textContent = c === null ? "" : String(c);
    tr.appendChild(td);
  }
  table.appendChild(tr);
  return tr;
}
function badge(text) { return el("span", text, "badge " + text); }
function age(s) {
  if (s === undefined || s === null) return "";
  if (s < 60) return s.toFixed(1) + " s";
  if (s < 3600) return (s / 60).toFixed(1) + " min";
  return (s / 3600).toFixed(1) + " h";
}
function fill(id) { const t = document.getElementById(id); t.replaceChildren(); return t; }
function drawGateway(s) {
  document.getElementById("id").textContent = s.gateway.client_id;
  const t = fill("gateway");
  row(t, ["version", s.gateway.version]);
  row(t, ["uptime", age(s.gateway.uptime_s)]);
  row(t, ["broker", s.broker.where]);
  row(t, ["broker state", badge(s.broker.connected ? "up" : "down")]);
  row(t, ["broker last failure", s.broker.last_failure ?
      s.broker.last_failure + " (" + s.broker.last_failure_ts + ")" : "none"]);
  row(t, ["queue", s.queue.messages + " of " + s.queue.capacity + " messages"]);
  row(t, ["dropped", s.queue.dropped]);
  row(t, ["commands", s.queue.commands_accepted + " accepted, " + s.queue.commands_refused +
      " refused"]);
}
function drawLinks(s) {
  const t = fill("links");
  row(t, ["link", "target", "state", "reconnects", "last failure"], true);
  for (const l of s.links) {
    row(t, [l.name, l.target, badge(l.state), l.reconnects,
            l.last_failure ? l.last_failure + " (" + l.last_failure_ts + ")" : ""]);
  }
}
function drawModules(s) {
  const box = document.getElementById("modules");
  box.replaceChildren();
  for (const l of s.links) {
    for (const m of l.modules) {
      const sec = el("section");
      sec.id = "module-" + l.name + "-" + m.name;
      const h = el("h2", m.name + " ");
      h.appendChild(badge(m.availability));
      h.appendChild(el("span", " on " + l.name + ", address " + m.address, "stale"));
      sec.appendChild(h);
      const t = el("table");
      row(t, ["poll", "value", "status", "age"], true);
      for (const q of m.queries) {
        const value = q.value === null ? "" : q.value + (q.unit ? " " + q.unit : "");
        const status = q.status === null ? "not read yet" : q.outcome + (q.status ?
            " (" + q.status + "/" + q.error + (q.error_text ? ", " + q.error_text : "") + ")" : "");
        const tr = row(t, [q.name, value, status, age(q.age_s)]);
        tr.children[1].className = "num";
        if (q.status) tr.children[2].className = "err";
        if (q.age_s === undefined || q.age_s * 1000 > 3 * q.interval_ms) tr.classList.add("stale");
      }
      sec.appendChild(t);
      box.appendChild(sec);
    }
  }
}
function drawEvents(s) {
  const t = fill("events");
  row(t, ["when", "what"], true);
  for (const e of s.events.slice().reverse()) row(t, [e.ts, e.text]);
}
document.getElementById("command-form").addEventListener("submit", async (ev) => {
  ev.preventDefault();
  const v = (id) => document.getElementById(id).value.trim();
  const out = document.getElementById("c-result");
  try {
    const r = await fetch("api/command", {method: "POST", credentials: "same-origin",
      headers: {"Content-Type": "application/json"},
      body: JSON.stringify({link: v("c-link"), module: v("c-module"), command: v("c-command"),
                            payload: v("c-payload")})});
    const j = await r.json();
    out.textContent = r.ok ? "sent; the result is published on MQTT" : j.error;
  } catch (e) {
    out.textContent = e.message;
  }
});
async function refresh() {
  try {
    const r = await fetch("api/state", {cache: "no-store", credentials: "same-origin"});
    if (!r.ok) throw new Error("HTTP " + r.status);
    const s = await r.json();
    document.getElementById("commands").hidden = !s.gateway.commands;
    drawGateway(s); drawLinks(s); drawModules(s); drawEvents(s);
    document.getElementById("note").textContent = "updated " + s.gateway.now;
  } catch (e) {
    document.getElementById("note").textContent = "cannot reach the gateway: " + e.message;
  }
  setTimeout(refresh, 1000);
}
refresh();
</script>
</body>
</html>
)html";

}  // namespace

const std::string &StatusPage() {
    static const std::string kText(kPage);
    return kText;
}

}  // namespace qor::gateway
