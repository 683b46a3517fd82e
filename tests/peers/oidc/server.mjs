// A real OpenID provider for the identity integration tests, with the small
// configuration endpoint beside it.
//
//   node server.mjs <port>
//
// Listens on 127.0.0.1:<port> and prints "ready <issuer>" once it answers.
// One public native client "kelvane-test" (PKCE required, redirect URI
// kelvane://auth/callback, refresh tokens for offline_access), a login form
// that accepts any name (devInteractions), access tokens that live two
// minutes. GET /nas-config answers the configuration document for a valid
// bearer token of this provider and 401 otherwise.
import http from 'node:http';
import Provider from 'oidc-provider';

const port = Number(process.argv[2] || 0);

// Standard output carries only the "ready" line: the test stops reading it
// after that, so everything the provider says goes to standard error.
for (const name of ['log', 'info', 'warn']) {
  console[name] = (...args) => process.stderr.write(`${args.join(' ')}\n`);
}
process.stdout.on('error', () => {});
const issuer = `http://127.0.0.1:${port}`;

const provider = new Provider(issuer, {
  clients: [{
    client_id: 'kelvane-test',
    application_type: 'native',
    token_endpoint_auth_method: 'none',
    grant_types: ['authorization_code', 'refresh_token'],
    response_types: ['code'],
    redirect_uris: ['kelvane://auth/callback'],
  }],
  pkce: { required: () => true },
  scopes: ['openid', 'profile', 'offline_access'],
  features: { devInteractions: { enabled: true }, revocation: { enabled: true } },
  ttl: { AccessToken: 120, RefreshToken: 3600, Grant: 3600, Session: 3600, Interaction: 600 },
  rotateRefreshToken: true,
  cookies: { keys: ['kelvane-test-cookie-key'] },
  findAccount: async (ctx, sub) => ({ accountId: sub, claims: async () => ({ sub }) }),
});

// Refresh tokens for offline_access are issued only when consent was asked
// for explicitly; the client sends exactly its own items, so ask here.
provider.use(async (ctx, next) => {
  if (ctx.method === 'GET' && ctx.path === '/auth') {
    ctx.query = { ...ctx.query, prompt: 'consent' };
  }
  await next();
});

const configDocument = {
  molerun_addr: 'mr-peer-tunnel.invalid:7000',
  smb_share: 'photo',
  dest_subdir: 'Kelvane',
  local_port: 14450,
  remote_smb: 445,
  nas_label: 'Peer NAS',
  nas_user_default: '',
};

async function configEndpoint(req, res) {
  const auth = req.headers.authorization || '';
  const match = /^Bearer (.+)$/.exec(auth);
  let ok = false;
  if (match) {
    const token = await provider.AccessToken.find(match[1]);
    if (token && !token.isExpired) {
      const grant = await provider.Grant.find(token.grantId);
      ok = Boolean(grant);
    }
  }
  if (!ok) {
    res.writeHead(401, { 'content-type': 'application/json' });
    res.end('{"error":"invalid_token"}');
    return;
  }
  res.writeHead(200, { 'content-type': 'application/json' });
  res.end(JSON.stringify(configDocument));
}

const handler = provider.callback();
const server = http.createServer((req, res) => {
  if (req.url === '/nas-config') {
    configEndpoint(req, res).catch(() => { res.writeHead(500); res.end(); });
    return;
  }
  handler(req, res);
});
server.listen(port, '127.0.0.1', () => {
  process.stdout.write(`ready ${issuer}\n`);
});
process.on('SIGTERM', () => server.close(() => process.exit(0)));
