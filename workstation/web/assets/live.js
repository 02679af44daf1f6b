// The cards of every meter, drawn from GET /api/v1/meters and refreshed
// each second. Each card and circuit row carries the values it shows in
// data-value attributes, exactly as the API gave them. A meter that fails or
// is stale has its card greyed with the reason and age on top; the header
// sums up how many answer; when pondrel-host stops answering, every card
// says so.
"use strict";

const meters = document.getElementById("meters");
const connection = document.getElementById("connection");
const summary = document.getElementById("summary");
const cards = new Map();

function fixed(value, digits) {
  return value === null ? "–" : value.toFixed(digits);
}

function age(seconds) {
  if (seconds < 90) return Math.round(seconds) + " s ago";
  if (seconds < 5400) return Math.round(seconds / 60) + " min ago";
  return Math.round(seconds / 3600) + " h ago";
}

function element(tag, className, text) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  if (text !== undefined) e.textContent = text;
  return e;
}

function makeCard(meter) {
  const card = element("section", "card");
  card.dataset.meter = meter.name;
  const title = element("h2");
  const link = element("a", "", meter.name);
  link.href = "/meter/" + encodeURIComponent(meter.name);
  title.append(link);
  const facts = element("div", "facts");
  facts.append(element("span", "", "line " + meter.line), element("span", "", "slave " + meter.slave),
               element("span", "status"), element("span", "age"));
  const voltage = element("div", "voltage");
  const table = element("table");
  const head = table.createTHead().insertRow();
  for (const [name, className] of [["#", ""], ["power W", "bar"], ["current A", ""], ["energy kWh", ""]]) {
    head.append(element("th", className, name));
  }
  const body = table.createTBody();
  for (let n = 0; n < 18; n++) {
    const row = body.insertRow();
    row.dataset.circuit = n + 1;
    row.append(element("td", "name", String(n + 1)));
    const bar = element("td", "bar");
    bar.append(element("div"), element("span", "power"));
    row.append(bar, element("td", "current"), element("td", "energy"));
  }
  card.append(title, element("p", "problem"), facts, voltage, table);
  meters.append(card);
  return card;
}

function show(card, meter) {
  card.dataset.rounds = meter.rounds;
  const status = card.querySelector(".status");
  const state = meter.stale ? "stale" : meter.status;
  status.className = "status " + state;
  status.textContent = state + (meter.status === "failing" && meter.reason ? " (" + meter.reason + ")" : "");
  const since = meter.age_s === null ? "no round yet" : "last round " + age(meter.age_s);
  card.querySelector(".age").textContent = since;
  // Old numbers of a meter that fails or is stale are greyed, never shown as current.
  const down = meter.stale || meter.status === "failing";
  card.classList.toggle("down", down);
  card.classList.remove("unreachable");
  card.querySelector(".problem").textContent = down ? status.textContent + "; " + since : "";
  const voltage = card.querySelector(".voltage");
  voltage.dataset.value = meter.voltage_V;
  voltage.textContent = fixed(meter.voltage_V, 1) + " V";
  const powers = meter.power_W || [];
  const largest = Math.max(0, ...powers.map((p) => Math.abs(p || 0)));
  card.querySelectorAll("tbody tr").forEach((row, n) => {
    // The circuit's number, and its name where the site gives one.
    const name = meter.circuit_names ? meter.circuit_names[n] : "";
    row.querySelector(".name").textContent = !name || name === "circuit " + (n + 1) ? String(n + 1) : (n + 1) + " " + name;
    const power = meter.power_W ? meter.power_W[n] : null;
    const current = meter.current_A ? meter.current_A[n] : null;
    const energy = meter.energy_kWh ? meter.energy_kWh[n] : null;
    row.querySelector("div").style.width = largest > 0 ? (100 * Math.abs(power || 0) / largest).toFixed(1) + "%" : "0";
    const cells = [[".power", power, 1], [".current", current, 2], [".energy", energy, 2]];
    for (const [selector, value, digits] of cells) {
      const cell = row.querySelector(selector);
      cell.dataset.value = value;
      cell.textContent = fixed(value, digits);
    }
  });
}

async function refresh() {
  try {
    const answer = await fetch("/api/v1/meters", { cache: "no-store" });
    if (!answer.ok) throw new Error(answer.status + " " + answer.statusText);
    const site = await answer.json();
    const seen = new Set();
    for (const meter of site.meters) {
      seen.add(meter.name);
      if (!cards.has(meter.name)) cards.set(meter.name, makeCard(meter));
      show(cards.get(meter.name), meter);
    }
    for (const [name, card] of cards) {
      if (!seen.has(name)) { card.remove(); cards.delete(name); }
    }
    const answering = site.meters.filter((m) => m.age_s !== null && !m.stale && m.status !== "failing").length;
    const times = site.meters.map((m) => m.time).filter((t) => t !== null).sort();
    summary.className = "summary" + (answering < site.meters.length ? " short" : "");
    summary.textContent = answering + " of " + site.meters.length + " meters answering; " +
      (times.length ? "last round " + times[times.length - 1].substring(11, 19) : "no round yet");
    connection.className = "connection";
    connection.textContent = "updated " + new Date().toLocaleTimeString();
    document.body.dataset.ready = "1";
  } catch (error) {
    connection.className = "connection lost";
    connection.textContent = "no answer from pondrel-host: " + error.message;
    for (const card of cards.values()) {
      card.classList.add("down", "unreachable");
      card.querySelector(".problem").textContent = "pondrel-host does not answer: these are its last readings";
    }
  }
}

refresh();
setInterval(refresh, 1000);
