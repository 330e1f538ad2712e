// The report as one HTML page: uPlot, the report's data and the page's script in one file
// that opens from disk with no network. Each chart leaves data-drawn="1" on its element once
// uPlot has drawn it, each number of a table names its field and row (data-key, data-field),
// and a script error is written to the body's data-script-errors: the page's test reads them.
#include <fstream>
#include <stdexcept>

#include "tools/qbnotify-report/Output.h"
#include "tools/qbnotify-report/UPlotAssets.h"

namespace qbnotify::report {
namespace {

constexpr const char* kHead = R"page(<!DOCTYPE html>
<html lang="zh-CN">
<head>
<meta charset="utf-8">
<title>QBNotify usage report</title>
<style>
body { font-family: "WenQuanYi Zen Hei", "Microsoft YaHei", sans-serif; margin: 24px; color: #222; }
h1 { font-size: 22px; } h2 { font-size: 17px; margin-top: 28px; border-bottom: 1px solid #ccc; }
table { border-collapse: collapse; margin: 8px 0; font-size: 13px; }
th, td { border: 1px solid #ddd; padding: 3px 8px; text-align: right; }
th { background: #f3f3f3; } td.text { text-align: left; }
.chart { margin: 8px 0 16px; } .note { font-size: 12px; color: #555; max-width: 900px; }
#weekday-hour td { width: 22px; height: 18px; padding: 0; text-align: center; font-size: 10px; }
details { margin: 4px 0 12px; } summary { cursor: pointer; color: #1f6fb2; font-size: 13px; }
</style>
<style>
)page";

constexpr const char* kBody = R"page(</style>
</head>
<body>
<h1>Usage of the farm's published applications</h1>
<p id="period"></p>
<h2>Applications</h2>
<table id="applications"></table>
<p class="note">Peak: the most sessions in use during one minute (a session counts in every minute it was in use
at some moment of, disconnected or not), with the first minute it was reached; limit: the application's own
session limit. Connected and disconnected: the time within the period. A session not ended by the period's end
(no logoff row, or disconnected at its last row as the event log says) counts as in use until then.</p>
<h2>Sessions in use per minute</h2>
<div id="concurrency"></div>
<h2>Sessions per day</h2>
<div class="chart" id="chart-days" data-chart="days"></div>
<details><summary id="days-summary">The days as a table</summary><table id="days"></table></details>
<h2>Refusals</h2>
<div class="chart" id="chart-refusals" data-chart="refusals"></div>
<table id="refusals-by-reason"></table>
<table id="refusals-by-client"></table>
<h2>Decided without the database</h2>
<table id="offline-decisions"></table>
<p class="note" id="offline-note"></p>
<ul class="note" id="refusal-notes"></ul>
<h2>Sessions started, by weekday and hour</h2>
<table id="weekday-hour" data-chart="weekday-hour"></table>
<h2>Top users and client MACs</h2>
<table id="top-users"></table>
<table id="top-clients"></table>
<h2>Anomalies</h2>
<p class="note" id="anomaly-count"></p>
<details><summary id="anomalies-summary">The anomalies as a table</summary><table id="anomalies"></table></details>
<script>
window.addEventListener('error', function (event) {
  var body = document.body, before = body.getAttribute('data-script-errors');
  body.setAttribute('data-script-errors', (before ? before + ' | ' : '') + event.message);
});
</script>
<script>
)page";

constexpr const char* kScript = R"page(
(function () {
  'use strict';
  var data = JSON.parse(document.getElementById('report-data').textContent);
  var width = Math.max(640, Math.min(1200, document.body.clientWidth - 40));

  function element(tag, text, attributes) {
    var node = document.createElement(tag);
    if (text !== undefined && text !== null) node.textContent = String(text);
    for (var name in attributes || {}) node.setAttribute(name, attributes[name]);
    return node;
  }
  // columns: [heading, field, isText]; every cell names its row's key and its field.
  function fillTable(id, columns, rows, keyField) {
    var table = document.getElementById(id), head = element('tr');
    columns.forEach(function (c) { head.appendChild(element('th', c[0])); });
    table.appendChild(head);
    rows.forEach(function (row) {
      var line = element('tr');
      columns.forEach(function (c) {
        var value = row[c[1]];
        line.appendChild(element('td', value === null || value === undefined ? '' : value,
          {'data-key': String(row[keyField]), 'data-field': c[1], 'class': c[2] ? 'text' : 'number'}));
      });
      table.appendChild(line);
    });
  }
  function minuteSeconds(text) {  // "YYYY-MM-DD HH:MM" of the server's clock, shown as it is
    var p = text.split(/[- :]/).map(Number);
    return Date.UTC(p[0], p[1] - 1, p[2], p[3] || 0, p[4] || 0) / 1000;
  }
  // Every chart's values axis starts at zero, so that a count of 1 draws a bar.
  function fromZero(u, min, max) { return [0, Math.max(1, max) * 1.1]; }
  // The coloured (not grey) pixels of the plot's column at each x value: how tall each bar was
  // drawn, for the page's test.
  function barPixels(u) {
    var box = u.bbox, counts = [];
    u.data[0].forEach(function (x) {
      var cx = Math.round(u.valToPos(x, 'x', true));
      var column = u.ctx.getImageData(cx, box.top, 1, box.height).data, n = 0;
      for (var i = 0; i < column.length; i += 4) {
        var r = column[i], g = column[i + 1], b = column[i + 2];
        if (column[i + 3] > 0 && Math.abs(r - g) + Math.abs(g - b) > 60) ++n;
      }
      counts.push(n);
    });
    return counts.join(',');
  }
  function chart(target, options, series, bars) {
    options.width = width;
    options.height = options.height || 220;
    options.tzDate = function (ts) { return uPlot.tzDate(new Date(ts * 1000), 'Etc/UTC'); };
    options.scales = options.scales || {};
    options.scales.y = {range: fromZero};
    options.hooks = {draw: [function (u) {
      target.setAttribute('data-drawn', '1');
      target.setAttribute('data-points', String(series[0].length));
      if (bars) target.setAttribute('data-bar-pixels', barPixels(u));
    }]};
    return new uPlot(options, series, target);
  }
  // Splits a label into lines of at most `width` characters at blanks.
  function wrap(text, width) {
    var lines = [''];
    text.split(' ').forEach(function (word) {
      var last = lines[lines.length - 1];
      if (last && last.length + 1 + word.length > width) lines.push(word);
      else lines[lines.length - 1] = last ? last + ' ' + word : word;
    });
    return lines.join('\n');
  }
  function duration(seconds) {
    var h = Math.floor(seconds / 3600), m = Math.floor(seconds % 3600 / 60);
    return h + ' h ' + (m < 10 ? '0' : '') + m + ' min';
  }

  document.getElementById('period').textContent = 'From ' + data.period.from + ' to ' + data.period.to +
    ' (the database server\'s clock; open sessions counted up to ' + data.period.as_of + ')' +
    (data.filters.app ? ', application ' + data.filters.app : '') + (data.filters.user ? ', user ' + data.filters.user : '');

  var apps = data.applications.map(function (a) {
    var copy = Object.assign({}, a);
    copy.median = duration(a.duration_median_seconds);
    copy.p95 = duration(a.duration_p95_seconds);
    copy.connected = duration(a.connected_seconds);
    copy.disconnected = duration(a.disconnected_seconds);
    return copy;
  });
  var farm = Object.assign({app_id: '*', name: '(the farm)', limit: null}, data.farm);
  farm.median = duration(farm.duration_median_seconds); farm.p95 = duration(farm.duration_p95_seconds);
  farm.connected = duration(farm.connected_seconds); farm.disconnected = duration(farm.disconnected_seconds);
  fillTable('applications', [['Application', 'app_id', true], ['Name', 'name', true], ['Sessions', 'sessions'],
    ['Users', 'users'], ['Client MACs', 'clients'], ['Peak sessions', 'peak_sessions'], ['Peak at', 'peak_at', true],
    ['Limit', 'limit'], ['Open sessions', 'open_sessions'], ['Median duration', 'median', true],
    ['95th percentile', 'p95', true], ['Connected', 'connected', true], ['Disconnected', 'disconnected', true]],
    apps.concat([farm]), 'app_id');

  // Concurrency: the farm, then each application that had sessions, its limit as a dashed line.
  var start = minuteSeconds(data.series.start), step = data.series.step_seconds;
  var x = data.series.farm.map(function (_, i) { return start + i * step; });
  var stepped = uPlot.paths.stepped({align: 1});
  var targets = [{id: '*', title: 'The farm', values: data.series.farm, limit: null}];
  data.applications.forEach(function (a) {
    if (a.sessions > 0) targets.push({id: a.app_id, title: a.app_id + ' ' + a.name, values: data.series.applications[a.app_id], limit: a.limit});
  });
  targets.forEach(function (t) {
    var box = element('div', null, {'class': 'chart', 'data-chart': 'concurrency:' + t.id});
    document.getElementById('concurrency').appendChild(box);
    var series = [{}, {label: 'sessions in use', stroke: '#1f6fb2', fill: 'rgba(31,111,178,0.12)', paths: stepped, points: {show: false}}];
    var columns = [x, t.values];
    if (t.limit !== null) {
      series.push({label: 'limit', stroke: '#c0392b', dash: [6, 4], points: {show: false}});
      columns.push(x.map(function () { return t.limit; }));
    }
    chart(box, {title: t.title, series: series}, columns);
  });

  var bars = uPlot.paths.bars({size: [0.7, 60]});
  chart(document.getElementById('chart-days'), {title: 'Sessions in use per day (the farm)',
    series: [{}, {label: 'sessions', stroke: '#1f6fb2', fill: 'rgba(31,111,178,0.5)', paths: bars, points: {show: false}}]},
    [data.days.map(function (d) { return minuteSeconds(d.date); }), data.days.map(function (d) { return d.sessions; })], true);
  document.getElementById('days-summary').textContent = 'The ' + data.days.length + ' days as a table';
  fillTable('days', [['Date', 'date', true], ['Sessions', 'sessions'], ['Users', 'users'], ['Client MACs', 'clients']], data.days, 'date');

  var reasonNames = {'policy': 'security policy', 'shell': 'shell check',
    'application-rule': 'no application row, or the application\'s session limit',
    'unrecorded': 'no record: duplicate account, user session limit, or ended before logon',
    'offline-cached': 'decided offline from the cached rules', 'offline-closed': 'decided offline, closed'};
  var reasons = data.refusals.by_reason.map(function (r) {
    return {key: r.reason + (r.policy_id ? ':' + r.policy_id : ''),
            label: (reasonNames[r.reason] || r.reason) + (r.policy_id ? ' ' + r.policy_id : ''), count: r.count};
  });
  // The axis shows each reason wrapped over lines; the legend shows the whole of the one under the cursor.
  chart(document.getElementById('chart-refusals'), {title: 'Refusals by reason', height: 300,
    scales: {x: {time: false, range: [-0.5, Math.max(0.5, reasons.length - 0.5)]}},
    axes: [{size: 90, values: function (u, splits) { return splits.map(function (v) { return Number.isInteger(v) && reasons[v] ? wrap(reasons[v].label, 24) : ''; }); }}, {}],
    series: [{label: 'reason', value: function (u, v) { return v === null || !reasons[v] ? '' : reasons[v].label; }},
      {label: 'refusals', stroke: '#c0392b', fill: 'rgba(192,57,43,0.5)', paths: bars, points: {show: false}}]},
    [reasons.map(function (_, i) { return i; }), reasons.map(function (r) { return r.count; })], true);
  fillTable('refusals-by-reason', [['Reason', 'label', true], ['Refusals', 'count']], reasons, 'key');
  fillTable('refusals-by-client', [['Client computer', 'client', true], ['Refusal records', 'refusals'], ['Policy', 'policy'],
    ['Shell', 'shell'], ['Application row or limit', 'application_rule'], ['No record', 'unrecorded'], ['Offline', 'offline']],
    data.refusals.by_client, 'client');
  fillTable('offline-decisions', [['Mode', 'mode', true], ['Sessions', 'sessions'], ['Admitted', 'admitted'], ['Refused', 'refused']],
    data.offline_decisions, 'mode');
  document.getElementById('offline-note').textContent = data.offline_decisions.length ?
    'Sessions decided by the terminal servers while the database was away, from their records written back later ' +
    '(cached: from the last snapshot of the rules; closed: without it). Their refusals are counted apart above.' :
    'No session of the period was decided without the database (sessions let in unchecked in offline mode open leave no record).';
  data.refusals.cannot_tell_apart.forEach(function (text) { document.getElementById('refusal-notes').appendChild(element('li', text)); });

  // Sessions started by weekday and hour, as a shaded table.
  var map = document.getElementById('weekday-hour'), most = 1, header = element('tr');
  data.starts_by_weekday_hour.forEach(function (day) { day.forEach(function (n) { most = Math.max(most, n); }); });
  header.appendChild(element('th', ''));
  for (var hour = 0; hour < 24; ++hour) header.appendChild(element('th', hour));
  map.appendChild(header);
  ['Mon', 'Tue', 'Wed', 'Thu', 'Fri', 'Sat', 'Sun'].forEach(function (name, day) {
    var line = element('tr');
    line.appendChild(element('th', name));
    data.starts_by_weekday_hour[day].forEach(function (n, h) {
      line.appendChild(element('td', n || '', {'data-key': name + ' ' + h, 'data-field': 'starts',
        style: 'background: rgba(31,111,178,' + (n / most).toFixed(3) + ')'}));
    });
    map.appendChild(line);
  });
  map.setAttribute('data-drawn', '1');

  fillTable('top-users', [['User', 'user', true], ['Sessions', 'sessions']], data.top_users, 'user');
  fillTable('top-clients', [['Client MAC', 'mac', true], ['Sessions', 'sessions']], data.top_clients, 'mac');
  document.getElementById('anomalies-summary').textContent = 'The ' + data.anomalies.listed.length + ' anomalies listed, as a table';
  document.getElementById('anomaly-count').textContent = data.anomalies.count + ' anomalies' +
    (data.anomalies.count > data.anomalies.listed.length ? ' (the first ' + data.anomalies.listed.length + ' listed)' : '');
  fillTable('anomalies', [['Kind', 'kind', true], ['Row', 'logid', true], ['User', 'user', true], ['Application', 'app_id', true],
    ['MAC', 'mac', true], ['Session', 'session_id', true], ['Time', 'time', true], ['What', 'detail', true]],
    data.anomalies.listed, 'logid');
  document.body.setAttribute('data-ready', '1');
})();
)page";

}  // namespace

void WriteHtmlPage(const Report& report, const std::filesystem::path& file) {
  // Inside a script element "</script" or "<!--" in a text would change how the page is
  // parsed; "<" occurs in JSON only inside strings, where "\u003c" reads the same.
  const std::string text = ReportJson(report, true).dump();
  std::string json;
  json.reserve(text.size());
  for (char c : text) {
    if (c == '<') json += "\\u003c";
    else json += c;
  }
  if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary);
  if (!out) throw std::runtime_error("cannot write " + file.string());
  out << kHead << kUPlotStyle << kBody << kUPlotScript << "\n</script>\n<!-- uPlot's licence:\n" << kUPlotLicense
      << "-->\n<script type=\"application/json\" id=\"report-data\">" << json << "</script>\n<script>" << kScript
      << "</script>\n</body>\n</html>\n";
  if (!out.flush()) throw std::runtime_error("cannot write " + file.string());
}

}  // namespace qbnotify::report
