// The energy report of the chosen period: a row per meter and group (kWh,
// cost, highest quarter-hour demand, coverage) and each meter's circuits as
// bars, from /api/v1/report; the CSV link downloads the same period. The
// table says, once filled, the query it shows (data-source) and its rows
// (data-rows); the body's data-ready says the page is drawn.
"use strict";

let period = "day";
let offset = 0;  // periods back from the current one
const notice = document.getElementById("notice");
let chart = null;

function text(value, digits) {
  return value === null || value === undefined ? "\u2013" : Number(value).toFixed(digits);
}

function localTime(iso) {
  // Shown as the site wrote it: its local date and time.
  return iso ? iso.slice(0, 10) + " " + iso.slice(11, 16) : "\u2013";
}

// The day `offset` periods before today, as YYYY-MM-DD of this browser's
// calendar; the server takes the period holding its local midnight.
function sinceDay() {
  const d = new Date();
  if (period === "day") d.setDate(d.getDate() - offset);
  if (period === "week") d.setDate(d.getDate() - 7 * offset);
  if (period === "month") d.setMonth(d.getMonth() - offset, 1);
  if (period === "year") d.setFullYear(d.getFullYear() - offset, 0, 1);
  const pad = (n) => String(n).padStart(2, "0");
  return d.getFullYear() + "-" + pad(d.getMonth() + 1) + "-" + pad(d.getDate());
}

async function show() {
  const query = "period=" + period + "&since=" + sinceDay();
  const source = "/api/v1/report?" + query;
  document.getElementById("csv").href = source + "&format=csv";
  let rows;
  try {
    const answer = await fetch(source, { cache: "no-store" });
    rows = await answer.json();
    if (!answer.ok) throw new Error(rows.error || answer.statusText);
    notice.hidden = true;
  } catch (e) {
    notice.textContent = "No report: " + e.message;
    notice.hidden = false;
    document.body.dataset.ready = "1";
    return;
  }
  const body = document.querySelector("#report tbody");
  body.replaceChildren();
  for (const row of rows) {
    const total = Array.isArray(row.energy_kWh) ? row.energy_kWh.reduce((a, b) => a + b, 0) : row.energy_kWh;
    const tr = document.createElement("tr");
    const cells = [row.group !== undefined ? "Group " + row.group : row.meter, text(total, 3),
                   row.cost === null ? "\u2013" : text(row.cost, 2) + " " + row.currency,
                   text(row.peak_demand_kW, 3), localTime(row.peak_at), text(row.coverage * 100, 1) + " %"];
    for (const cell of cells) {
      const td = document.createElement("td");
      td.textContent = cell;  // names are text, never markup
      tr.appendChild(td);
    }
    body.appendChild(tr);
  }
  document.getElementById("span").textContent =
    rows.length ? localTime(rows[0].period_start) + " \u2013 " + localTime(rows[0].period_end) : "";
  const table = document.getElementById("report");
  table.dataset.source = source;
  table.dataset.rows = rows.length;

  const meters = rows.filter((row) => row.meter !== undefined);
  // Circuits by number, and by name when one meter is shown (others name theirs otherwise).
  const labels = meters.length === 1 ? meters[0].circuit_names.map((n, i) => (i + 1) + " " + n)
                                     : Array.from({ length: 18 }, (_, i) => "circuit " + (i + 1));
  const colours = ["#2f7fc1", "#e07b39", "#3a9d5d", "#c0392b", "#8e5cc4", "#8c564b", "#d46aa6", "#7f7f7f"];
  const datasets = meters.map((row, i) => ({ label: row.meter, data: row.energy_kWh, backgroundColor: colours[i % 8] }));
  document.body.dataset.ready = "1";
  if (typeof Chart === "undefined") return;
  if (chart) chart.destroy();
  chart = new Chart(document.getElementById("circuits"), {
    type: "bar",
    data: { labels: labels, datasets: datasets },
    options: { animation: false, responsive: true, maintainAspectRatio: false,
               plugins: { legend: { display: datasets.length > 1 } } },
  });
}

for (const button of document.querySelectorAll("#periods button")) {
  button.addEventListener("click", () => {
    for (const b of document.querySelectorAll("#periods button")) b.classList.toggle("chosen", b === button);
    period = button.dataset.period;
    offset = 0;
    show();
  });
}
document.getElementById("earlier").addEventListener("click", () => { offset += 1; show(); });
document.getElementById("later").addEventListener("click", () => { if (offset > 0) { offset -= 1; show(); } });
show();
