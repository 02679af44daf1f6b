// A meter's charts over the chosen range, from its history API: voltage
// (lowest, mean and highest), each circuit's mean power, and the energy all
// circuits used per hour (over 7 and 30 days from the hourly statistics). Each canvas says, once drawn, the query it drew
// (data-source) and how many points (data-points).
"use strict";

const name = decodeURIComponent(location.pathname.replace(/^\/meter\//, ""));
document.getElementById("title").textContent = name;
document.title = name;
const notice = document.getElementById("notice");
const charts = {};
const colours = ["#2f7fc1", "#e07b39", "#3a9d5d", "#c0392b", "#8e5cc4", "#8c564b", "#d46aa6", "#7f7f7f", "#b5b82f",
                 "#17becf", "#1f3f7a", "#a0522d", "#2e8540", "#6b4fa0", "#d4a017", "#4a4a4a", "#0f7f7f", "#9c2f5f"];

function timeText(seconds, span) {
  const d = new Date(seconds * 1000);
  if (span <= 86400) return d.toLocaleTimeString([], { hour: "2-digit", minute: "2-digit" });
  return d.toLocaleDateString([], { month: "short", day: "numeric" }) + " " +
         d.toLocaleTimeString([], { hour: "2-digit", minute: "2-digit" });
}

function draw(id, type, datasets, span, source, min, max) {
  const canvas = document.getElementById(id);
  if (charts[id]) charts[id].destroy();
  charts[id] = new Chart(canvas, {
    type: type,
    data: { datasets: datasets },
    options: {
      animation: false, responsive: true, maintainAspectRatio: false, parsing: false, normalized: true,
      interaction: { mode: "nearest", intersect: false },
      elements: { point: { radius: 0 }, line: { borderWidth: 1.5 } },
      scales: { x: { type: "linear", min: min, max: max, ticks: { callback: (v) => timeText(v, span), maxTicksLimit: 8 } } },
      plugins: {
        legend: { display: datasets.length > 1, labels: { boxWidth: 10 } },
        tooltip: { callbacks: { title: (items) => items.length ? timeText(items[0].parsed.x, 0) : "" } },
      },
    },
  });
  canvas.dataset.source = source;
  canvas.dataset.points = datasets.length ? datasets[0].data.length : 0;
}

async function history(since, until, points) {
  const source = "/api/v1/meters/" + encodeURIComponent(name) + "/history?since=" + since + "&until=" + until +
                 "&points=" + points;
  const answer = await fetch(source, { cache: "no-store" });
  const body = await answer.json();
  if (!answer.ok) throw new Error(body.error || answer.statusText);
  return [body, source];
}

async function show(span) {
  const now = Math.floor(Date.now() / 1000);
  try {
    const [series, source] = await history(now - span, now, 1000);
    const at = (p, value) => ({ x: p.t, y: value });
    draw("voltage", "line", [
      { label: "highest", data: series.points.map((p) => at(p, p.voltage_V.max)), borderColor: "#c0392b" },
      { label: "mean", data: series.points.map((p) => at(p, p.voltage_V.mean)), borderColor: "#2f7fc1" },
      { label: "lowest", data: series.points.map((p) => at(p, p.voltage_V.min)), borderColor: "#3a9d5d" },
    ], span, source, now - span, now);
    const power = [];
    for (let n = 0; n < 18; n++) {
      power.push({ label: String(n + 1), data: series.points.map((p) => at(p, p.power_W[n])),
                   borderColor: colours[n], backgroundColor: colours[n] });
    }
    draw("power", "line", power, span, source, now - span, now);
    // Whole hours, so that each bucket is one hour.
    const first = Math.floor((now - span) / 3600) * 3600, last = Math.ceil(now / 3600) * 3600;
    let bars, hourSource;
    if (span >= 604800) {
      // Days and weeks: the hourly statistics, kept for years.
      hourSource = "/api/v1/report?period=hour&meter=" + encodeURIComponent(name) + "&since=" + first + "&until=" + last;
      const answer = await fetch(hourSource, { cache: "no-store" });
      const rows = await answer.json();
      if (!answer.ok) throw new Error(rows.error || answer.statusText);
      bars = rows.filter((row) => row.coverage > 0 || row.energy_kWh.some((kwh) => kwh !== 0)).map((row) => ({
        x: Date.parse(row.period_start) / 1000 + 1800, y: row.energy_kWh.reduce((a, b) => a + b, 0) }));
    } else {
      const [hours, source] = await history(first, last, (last - first) / 3600);
      hourSource = source;
      bars = hours.points.map((p) => ({ x: p.t + 1800, y: p.energy_used_kWh }));
    }
    draw("energy", "bar", [{ label: "kWh", data: bars, backgroundColor: "#2f7fc1", barPercentage: 1, categoryPercentage: 1 }],
         span, hourSource, first, last);
    notice.hidden = true;
    document.body.dataset.ready = "1";
  } catch (error) {
    notice.textContent = "cannot draw the charts: " + error.message;
    notice.hidden = false;
    document.body.dataset.ready = "1";
  }
}

if (typeof Chart === "undefined") {
  notice.textContent = "Chart.js is not installed on the server (package libjs-chart.js); no charts can be drawn.";
  notice.hidden = false;
  document.body.dataset.ready = "1";
} else {
  // A link may choose the range: /meter/NAME?range=604800.
  const asked = Number(new URLSearchParams(location.search).get("range"));
  let span = [3600, 86400, 604800, 2592000].includes(asked) ? asked : 3600;
  document.querySelectorAll("#ranges button").forEach((b) => b.classList.toggle("chosen", Number(b.dataset.range) === span));
  for (const button of document.querySelectorAll("#ranges button")) {
    button.addEventListener("click", () => {
      document.querySelectorAll("#ranges button").forEach((b) => b.classList.toggle("chosen", b === button));
      span = Number(button.dataset.range);
      show(span);
    });
  }
  show(span);
  setInterval(() => show(span), 60000);
}
