// The operator panel's page: the events of kora-run serve (server-sent) drawn as they come, the
// operator's requests posted back. The server replays the whole run to a page that connects, so
// the page keeps no state of its own beyond what it shows.
'use strict';

const $ = (id) => document.getElementById(id);
const dialogs = new Map(); // open questions of the run by id, shown the oldest first
let total = 0;
let reportHref = '';

function post(path, fields) {
  return fetch(path, {
    method: 'POST',
    headers: {'X-Kora-Panel': '1'},
    body: new URLSearchParams(fields),
  }).then(async (response) => {
    if (!response.ok) {
      notice(await response.text());
    }
    return response.ok;
  });
}

function notice(text) {
  $('notice').textContent = text;
  $('notice').hidden = !text;
}

function showProgress(done, text) {
  $('progress').max = Math.max(total, 1);
  $('progress').value = done;
  $('progress-text').textContent = text;
}

function showDialog() {
  const d = dialogs.values().next().value;
  $('dialog').hidden = !d;
  if (!d) {
    return;
  }
  $('dialog-title').textContent = d.title || 'Operator';
  $('dialog-text').textContent = d.text;
  const buttons = $('dialog-buttons');
  buttons.replaceChildren();
  for (const b of d.buttons) {
    const button = document.createElement('button');
    button.type = 'button';
    button.textContent = b.label;
    button.dataset.answer = b.answer;
    button.addEventListener('click', () => {
      buttons.querySelectorAll('button').forEach((other) => { other.disabled = true; });
      post('answer', {id: d.id, answer: b.answer});
    });
    buttons.append(button);
  }
  buttons.querySelector('button').focus();
}

function stepBody(seq) {
  return document.getElementById('s' + seq);
}

function cell(row, text) {
  const td = document.createElement('td');
  td.textContent = text;
  row.append(td);
  return td;
}

const handlers = {
  programs(list) {
    const select = $('program');
    const chosen = select.value;
    select.replaceChildren();
    for (const p of list) {
      const option = document.createElement('option');
      option.value = p.index;
      option.textContent = p.name;
      option.title = p.file;
      select.append(option);
    }
    if (chosen !== '') {
      select.value = chosen;
    }
  },
  busy(state) {
    $('start').disabled = state.busy;
    $('stop').disabled = !state.busy;
  },
  runs(list) {
    const body = document.querySelector('#runs tbody');
    body.replaceChildren();
    for (const r of list) {
      const row = document.createElement('tr');
      cell(row, r.id);
      cell(row, r.started);
      cell(row, r.program);
      cell(row, r.serial || '-');
      const verdict = document.createElement('span');
      verdict.className = 'verdict ' + r.verdict;
      verdict.textContent = r.verdict;
      cell(row, '').append(verdict);
      cell(row, r.seconds.toFixed(3) + ' s');
      const link = document.createElement('a');
      link.href = r.report;
      link.target = '_blank';
      link.textContent = 'Report';
      cell(row, '').append(link);
      body.append(row);
    }
  },
  reset(run) {
    dialogs.clear();
    showDialog();
    $('progress-window').hidden = true;
    document.querySelectorAll('#results tbody').forEach((b) => b.remove());
    $('log').textContent = '';
    $('log-count').textContent = '0';
    $('verdict').textContent = '';
    $('verdict').className = 'verdict';
    $('counts').textContent = '';
    $('report-link').hidden = true;
    $('run').hidden = run.run === undefined;
    $('run-program').textContent = run.program || '';
    $('run-serial').textContent = run.serial || '-';
    reportHref = run.report || '';
    total = 0;
    showProgress(0, '');
  },
  start(run) {
    total = run.total;
    $('run-program').textContent = run.program;
    $('run-serial').textContent = run.serial || '-';
    $('verdict').textContent = 'RUNNING';
    $('verdict').className = 'verdict RUNNING';
    showProgress(0, '');
  },
  step(s) {
    total = s.total;
    const body = document.createElement('tbody');
    body.className = 'step';
    body.id = 's' + s.seq;
    const row = document.createElement('tr');
    row.className = 'step running';
    const head = document.createElement('th');
    head.colSpan = 6;
    head.textContent = '#' + s.index + ' ' + s.name + ' ';
    const small = document.createElement('small');
    small.textContent = s.method + ' · line ' + s.line + ' · running';
    head.append(small);
    row.append(head);
    body.append(row);
    $('results').append(body);
    showProgress(s.seq, '[' + (s.seq + 1) + '/' + s.total + '] ' + s.name);
  },
  result(r) {
    stepBody(r.seq)?.insertAdjacentHTML('beforeend', r.html);
  },
  stepdone(s) {
    const body = stepBody(s.seq);
    if (body) {
      body.outerHTML = s.html;
    }
    showProgress(s.seq + 1, $('progress-text').textContent);
  },
  message(m) {
    $('log').textContent += m.text.replace(/\n+$/, '') + '\n';
    $('log-count').textContent = Number($('log-count').textContent) + 1;
  },
  dialog(d) {
    dialogs.set(d.id, d);
    showDialog();
  },
  answered(a) {
    dialogs.delete(a.id);
    showDialog();
  },
  progress(p) {
    $('progress-window').hidden = !p.open;
    $('progress-title').textContent = p.title;
    $('progress-window-text').textContent = p.text;
    $('progress-window-bar').max = Math.max(p.steps, 1);
    $('progress-window-bar').value = p.position;
  },
  end(e) {
    dialogs.clear();
    showDialog();
    $('progress-window').hidden = true;
    $('verdict').textContent = e.verdict;
    $('verdict').className = 'verdict ' + e.verdict;
    $('counts').textContent = e.error ||
        `${e.steps} steps, ${e.passed} passed, ${e.failed} failed, ${e.done} done, ` +
        `${e.errors} errors${e.stopped ? ' (stopped)' : ''}, ${e.seconds.toFixed(3)} s`;
    if (!e.error && reportHref) {
      $('report-link').href = reportHref;
      $('report-link').hidden = false;
    }
    showProgress(total, e.stopped ? 'stopped' : 'done');
    $('serial').select();
  },
};

const events = new EventSource('events');
for (const [name, handle] of Object.entries(handlers)) {
  events.addEventListener(name, (event) => handle(JSON.parse(event.data)));
}
events.addEventListener('open', () => {
  $('connection').textContent = 'connected';
  $('connection').className = '';
});
events.addEventListener('error', () => {
  $('connection').textContent = 'reconnecting';
  $('connection').className = 'offline';
});

$('start-form').addEventListener('submit', (event) => {
  event.preventDefault();
  notice('');
  post('start', {program: $('program').value, serial: $('serial').value.trim()});
});
$('stop').addEventListener('click', () => post('stop', {}));
$('terminate').addEventListener('click', () => post('close-progress', {}));
