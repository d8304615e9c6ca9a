// Polls the device's CGI reports and shows them: the process table (sorted by any column,
// click again to reverse), a CPU usage graph from successive tick documents, and the version
// facts. The reports live under "cgi-bin/" beside this page unless ?cgi=<path> says otherwise;
// #sort=<column> (or #sort=-<column>, descending) chooses the first order, for links.
"use strict";

const CGI = new URLSearchParams(location.search).get("cgi") || "cgi-bin/";
const POLL_MS = 2000;
const VERSION_MS = 60000;
const HISTORY = 120; // readings kept for the graph
const PROCESS_FIELDS = ["pid", "ppid", "username", "state", "threads", "vmsize", "rss", "cpu",
                        "process_name", "command_line"];
const TICK_FIELDS = ["total", "user", "nice", "system", "idle", "iowait", "irq", "softirq",
                     "stolen"];

const usage = [];          // percentages, oldest first
let lastTicks = null;      // the previous tick document as numbers
let processes = [];
let sortKey = "pid";
let sortDescending = false;

async function fetchXml(name) {
  const response = await fetch(CGI + name, { cache: "no-store" });
  if (!response.ok) {
    throw new Error(name + ": HTTP " + response.status);
  }
  const documentXml = new DOMParser().parseFromString(await response.text(), "application/xml");
  if (documentXml.querySelector("parsererror")) {
    throw new Error(name + ": not well-formed");
  }
  return documentXml;
}

function text(node, name) {
  const child = node.getElementsByTagName(name)[0];
  return child ? child.textContent : "";
}

// ---- CPU usage --------------------------------------------------------------------------

// Counters are 32 bits wide on the device and wrap.
function delta(now, before) {
  return (now - before + 4294967296) % 4294967296;
}

function addTicks(documentXml) {
  const root = documentXml.documentElement;
  const ticks = {};
  for (const name of TICK_FIELDS) {
    ticks[name] = Number(text(root, name));
  }
  if (lastTicks) {
    const total = delta(ticks.total, lastTicks.total);
    if (total > 0) {
      const idle = Math.min(delta(ticks.idle, lastTicks.idle), total);
      usage.push(100 * (total - idle) / total);
      if (usage.length > HISTORY) {
        usage.shift();
      }
    }
  }
  lastTicks = ticks;
  drawGraph();
}

function drawGraph() {
  const canvas = document.getElementById("cpu-graph");
  const context = canvas.getContext("2d");
  const width = canvas.width;
  const height = canvas.height;
  context.clearRect(0, 0, width, height);
  context.strokeStyle = "#d0d7de";
  context.lineWidth = 1;
  for (const level of [25, 50, 75]) {
    const y = height - level / 100 * height;
    context.beginPath();
    context.moveTo(0, y);
    context.lineTo(width, y);
    context.stroke();
  }
  if (usage.length > 0) {
    const step = width / (HISTORY - 1);
    const x0 = width - (usage.length - 1) * step;
    context.beginPath();
    context.moveTo(x0, height);
    usage.forEach((value, i) => context.lineTo(x0 + i * step, height - value / 100 * height));
    context.lineTo(width, height);
    context.closePath();
    context.fillStyle = "rgba(31, 111, 235, 0.25)";
    context.fill();
    context.strokeStyle = "#1f6feb";
    context.lineWidth = 2;
    context.beginPath();
    usage.forEach((value, i) => {
      const x = x0 + i * step;
      const y = height - value / 100 * height;
      if (i === 0) {
        context.moveTo(x, y);
      } else {
        context.lineTo(x, y);
      }
    });
    context.stroke();
    document.getElementById("cpu-now").textContent = usage[usage.length - 1].toFixed(1) + "%";
  }
  document.getElementById("samples").textContent = String(usage.length);
  canvas.dataset.samples = String(usage.length);
}

// ---- processes --------------------------------------------------------------------------

function readProcesses(documentXml) {
  processes = Array.from(documentXml.getElementsByTagName("item"), (item) => {
    const row = {};
    for (const name of PROCESS_FIELDS) {
      row[name] = text(item, name);
    }
    return row;
  });
  drawProcesses();
}

function compareRows(left, right) {
  const header = document.querySelector('th[data-key="' + sortKey + '"]');
  let order;
  if (header && header.dataset.numeric) {
    order = Number(left[sortKey]) - Number(right[sortKey]);
  } else {
    order = left[sortKey].localeCompare(right[sortKey]);
  }
  if (order === 0) {
    order = Number(left.pid) - Number(right.pid);
  }
  return sortDescending ? -order : order;
}

function drawProcesses() {
  const body = document.querySelector("#processes tbody");
  const rows = processes.slice().sort(compareRows).map((process) => {
    const row = document.createElement("tr");
    for (const name of PROCESS_FIELDS) {
      const cell = document.createElement("td");
      cell.textContent = process[name]; // text only: names come from the device's processes
      row.appendChild(cell);
    }
    return row;
  });
  body.replaceChildren(...rows);
  document.getElementById("process-count").textContent = String(processes.length);
  for (const header of document.querySelectorAll("#processes th")) {
    if (header.dataset.key === sortKey) {
      header.setAttribute("aria-sort", sortDescending ? "descending" : "ascending");
    } else {
      header.removeAttribute("aria-sort");
    }
  }
}

function sortBy(key) {
  sortDescending = key === sortKey ? !sortDescending : false;
  sortKey = key;
  drawProcesses();
}

// ---- version ----------------------------------------------------------------------------

function readVersion(documentXml) {
  const root = documentXml.documentElement;
  const facts = [
    ["Application", text(root, "name")],
    ["Version", text(root, "string")],
    ["Built", text(root, "date") + " " + text(root, "time")],
    ["Profile", text(root, "profile")],
    ["Architecture", text(root, "architecture") + " (" + text(root, "word_size") + " bit)"],
    ["System", text(root, "os") + " " + text(root, "os_version")],
  ];
  const list = document.getElementById("version");
  list.replaceChildren();
  for (const [label, value] of facts) {
    const term = document.createElement("dt");
    const detail = document.createElement("dd");
    term.textContent = label;
    detail.textContent = value;
    list.append(term, detail);
  }
}

// ---- polling ----------------------------------------------------------------------------

function showState(message, failed) {
  const state = document.getElementById("state");
  state.textContent = message;
  state.classList.toggle("error", failed);
}

async function poll() {
  try {
    const [ticks, table] = await Promise.all([fetchXml("cputick.cgi"), fetchXml("ps.cgi")]);
    addTicks(ticks);
    readProcesses(table);
    showState("updated " + new Date().toLocaleTimeString(), false);
  } catch (error) {
    showState(String(error.message || error), true);
  }
}

async function pollVersion() {
  try {
    readVersion(await fetchXml("version.cgi"));
  } catch (error) {
    showState(String(error.message || error), true);
  }
}

function start() {
  const wanted = /^#sort=(-?)(\w+)$/.exec(location.hash);
  if (wanted && PROCESS_FIELDS.includes(wanted[2])) {
    sortKey = wanted[2];
    sortDescending = wanted[1] === "-";
  }
  for (const header of document.querySelectorAll("#processes th")) {
    header.addEventListener("click", () => sortBy(header.dataset.key));
  }
  document.getElementById("interval").textContent = String(POLL_MS / 1000);
  drawGraph();
  poll();
  pollVersion();
  setInterval(poll, POLL_MS);
  setInterval(pollVersion, VERSION_MS);
}

start();
